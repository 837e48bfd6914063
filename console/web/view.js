// Small helpers to build the page from data. Every text goes in as text, never as markup: file
// and printer names come from users and devices.

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === false || value === null || value === undefined) continue;
    if (name === "class") node.className = value;
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else if (value === true) node.setAttribute(name, "");
    else node.setAttribute(name, String(value));
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

export function replaceChildren(parent, children) {
  parent.replaceChildren(...children.filter((c) => c));
}

const KINDS = {
  psFont: "PostScript font",
  psForm: "PostScript form",
  pclFont: "PCL font",
  pclMacro: "PCL macro",
};
export const kindWords = (kind) => KINDS[kind] || kind;

const STATUS = {
  IN_PROGRESS: "running",
  COMPLETED: "completed",
  FAILED: "failed",
  CANCELED: "canceled",
};
export const statusWords = (status) => STATUS[status] || status;

export function size(bytes) {
  if (bytes < 1024) return `${bytes} B`;
  const units = ["KiB", "MiB", "GiB"];
  let value = bytes;
  let unit = "B";
  for (const u of units) {
    if (value < 1024) break;
    value /= 1024;
    unit = u;
  }
  return `${value.toFixed(value < 10 ? 1 : 0)} ${unit}`;
}

// Local time, to the minute, in the order a sort would keep.
export function localDate(iso) {
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return "";
  const two = (n) => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ` +
         `${two(d.getHours())}:${two(d.getMinutes())}`;
}
