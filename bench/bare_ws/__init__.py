"""A hand-written WebSocket server layer on a bare asyncio.Protocol: the opening handshake (upgrade.py),
the frame codec (frames.py) and the connection that joins them (connection.py). Only the server role,
and only what the benchmark's RPC link needs: no extensions, no subprotocols."""
