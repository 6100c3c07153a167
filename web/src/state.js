// What the page's parts share: every dropped container's view, in drop
// order, and `window.tolvarinPage`, where the tests and the benchmark read
// the conversions' timings and find their hooks (hooks.js).

export const containers = [];

export const page = { lastConversionMs: null, lastDescribeMs: null, conversions: [] };
window.tolvarinPage = page;
