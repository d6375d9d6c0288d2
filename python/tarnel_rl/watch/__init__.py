"""Watching training: the dashboard, its hub, the trainer's logged values and run folders, the rgb_array
frames, and saved episodes (traces) with their replay and checks.

Three words, one meaning each:
  - the dashboard: the page in the user's browser (ui/viewer.html) that shows a trainer's environments, its
    figures and its runs; `dashboard.py` is the trainer's side of it (one hub per trainer, a seat per
    environment, the figures each environment sends).
  - the hub: the process on 127.0.0.1 that serves the dashboard and passes on what the environments
    publish (`viewer_server.py`, with `hub_state.py` and `hub_connections.py`).
  - the viewer: the trainer's handle on the hub (`viewer.py`: `ViewerHub` starts the hub's process and
    gives seats); `render_mode="human"`, `viewer_url` and `viewer_port` keep that name.
"""
