// The trivial page's link: connects, answers every Request frame with its ready-made answer
// (answers.js), ignores everything else, and connects again 50 ms after any close. Nothing else: it is
// the cheapest page a host can run, the floor the reference page is measured against.
//
// The ready-made frames are rewritten by the next request: the browser's WebSocket copies what `send`
// is given, and so does the `ws` package whenever it masks a client frame with a key (it always does
// unless told to use a zero key), so a frame is never changed while a socket holds it.

const REQUEST = 1;
const RETRY_MS = 50;

export function answerForever({ url, WebSocket, answers, socketOptions = undefined }) {
  let stopped = false;
  let socket = null;
  const open = () => {
    socket = socketOptions === undefined ? new WebSocket(url) : new WebSocket(url, socketOptions);
    socket.binaryType = 'nodebuffer';
    if (socket.binaryType !== 'nodebuffer') socket.binaryType = 'arraybuffer';
    socket.onmessage = ({ data }) => {
      if (typeof data === 'string') return;
      const bytes = data instanceof Uint8Array ? data : new Uint8Array(data);
      if (bytes.length < 16 || bytes[1] !== REQUEST) return;
      const seq = bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (bytes[7] << 24);
      socket.send(answers.answer(seq, bytes[8] | (bytes[9] << 8), bytes.subarray(16)));
    };
    socket.onerror = () => {};
    socket.onclose = () => { if (!stopped) setTimeout(open, RETRY_MS); };
  };
  open();
  return () => {
    stopped = true;
    socket.close();
  };
}
