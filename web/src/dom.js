// The page's fixed elements (web/index.html), and how its parts make new ones.

export const ui = {
  results: document.getElementById("results"),
  status: document.getElementById("status"),
  zipButton: document.getElementById("zip"),
  zipLink: document.getElementById("zip-link"),
  clearButton: document.getElementById("clear"),
  demoButton: document.getElementById("demo"),
  input: document.getElementById("containers"),
  chosen: document.getElementById("chosen"),
  overlay: document.getElementById("drop-overlay"),
  fontInput: document.getElementById("soundfont"),
  fontStatus: document.getElementById("instruments"),
  fontOff: document.getElementById("soundfont-off"),
};

// Says `text` in the bar's status line, which screen readers announce.
export function say(text) {
  ui.status.textContent = text;
}

// A new element: `text` and `className` set those properties, any other
// attribute is set as it is; children that are null are left out.
export function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === "text") node.textContent = value;
    else if (name === "className") node.className = value;
    else node.setAttribute(name, value);
  }
  for (const child of children) if (child) node.append(child);
  return node;
}

// Appends the children that are there (a part with nothing to say is null).
export function appendPresent(node, ...children) {
  node.append(...children.filter((child) => child));
}

// A button that is busy (its work under way) ignores a second press; it is
// never disabled meanwhile, so that focus stays on it. Runs `work` and
// marks the button busy until it ends.
export async function whileBusy(button, work) {
  if (button.getAttribute("aria-busy") === "true") return;
  button.setAttribute("aria-busy", "true");
  try {
    await work();
  } finally {
    button.removeAttribute("aria-busy");
  }
}
