// A 2D context that records every call made on it; properties can be set freely.
export function recordingCanvas(width, height) {
  const calls = [];
  const ctx = new Proxy({}, {
    get(target, name) {
      if (name in target) return target[name];
      return (...args) => { calls.push([name, ...args]); };
    },
    set(target, name, value) {
      calls.push(['set', name, value]);
      target[name] = value;
      return true;
    },
  });
  return { canvas: { clientWidth: width, clientHeight: height, width: 0, height: 0, getContext: () => ctx }, calls };
}
