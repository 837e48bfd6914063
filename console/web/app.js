// The console page: the fleet with what each printer stores, the server store, and the
// operations, kept up to date from the console's live feed (or by asking every few seconds when
// the feed is not available).
import { api, ApiError, takeTokenFromAddress } from "./api.js";
import { el, kindWords, localDate, replaceChildren, size, statusWords } from "./view.js";

const MAX_UPLOAD = 256 * 1024 * 1024;
const DEVICES_PER_PAGE = 12;
const OPS_PER_PAGE = 25;
const POLL_MS = 3000;

const state = {
  canChange: false,
  devices: [],
  devicePage: 0,
  files: new Map(), // printer ID -> { files } or { error }
  ticked: new Set(), // printer IDs ticked as destinations
  tickedFiles: new Map(), // printer ID -> Set of file names
  store: [],
  tickedStored: new Set(),
  opsOffset: 0,
  ops: [],
  opsTotal: 0,
  seenStatus: new Map(), // operation ID -> status last shown
  opsListed: false, // the operations were listed once: later ones are new
  newestSeen: -1, // the highest operation ID listed so far
  digest: "",
  details: null, // operation ID shown in the details panel
};

const $ = (id) => document.getElementById(id);

// --- Messages ---------------------------------------------------------------------------------

let messageTimer = 0;
function tell(text, kind = "info") {
  const box = $("message");
  box.textContent = text;
  box.className = `message ${kind}`;
  box.hidden = false;
  clearTimeout(messageTimer);
  if (kind === "info") messageTimer = setTimeout(() => { box.hidden = true; }, 8000);
}

function failed(what, error) {
  const words = error instanceof ApiError ? error.shown : String(error);
  tell(`${what}: ${words}`, "error");
}

// Runs a change; its button stays disabled until the answer is in.
async function change(button, what, work) {
  if (button) button.disabled = true;
  try {
    return await work();
  } catch (e) {
    failed(what, e);
    return null;
  } finally {
    if (button) button.disabled = !state.canChange;
  }
}

// --- Printers ---------------------------------------------------------------------------------

const deviceByAddress = (address) => state.devices.find((d) => d.address === address);
function deviceLabel(address) {
  if (!address) return "-";
  const d = deviceByAddress(address);
  return d ? `${d.name} (${address})` : address;
}

async function loadDevices() {
  const box = $("devices");
  try {
    const answer = await api.devices();
    state.devices = answer.devices;
    renderDevices();
    await Promise.all(visibleDevices().map((d) => loadFiles(d.id)));
  } catch (e) {
    failed("The printers could not be listed", e);
  } finally {
    box.setAttribute("aria-busy", "false");
  }
}

function visibleDevices() {
  const from = state.devicePage * DEVICES_PER_PAGE;
  return state.devices.slice(from, from + DEVICES_PER_PAGE);
}

async function loadFiles(id) {
  try {
    const answer = await api.deviceFiles(id);
    state.files.set(id, { files: answer.files });
  } catch (e) {
    state.files.set(id, { error: e instanceof ApiError ? e.shown : String(e) });
  }
  renderDevice(id);
}

function renderDevices() {
  const pages = Math.max(1, Math.ceil(state.devices.length / DEVICES_PER_PAGE));
  state.devicePage = Math.min(state.devicePage, pages - 1);
  replaceChildren($("devices"), visibleDevices().map(deviceCard));
  const pager = $("device-pager");
  pager.hidden = pages <= 1;
  const from = state.devicePage * DEVICES_PER_PAGE;
  $("devices-range").textContent =
      `${from + 1}–${Math.min(from + DEVICES_PER_PAGE, state.devices.length)} of ${state.devices.length}`;
  $("devices-prev").disabled = state.devicePage === 0;
  $("devices-next").disabled = state.devicePage >= pages - 1;
  applyAccess();
}

function renderDevice(id) {
  const old = document.getElementById(`device-${id}`);
  const device = state.devices.find((d) => d.id === id);
  if (old && device) {
    old.replaceWith(deviceCard(device));
    applyAccess();
  }
}

function reachability(device) {
  if (device.reachable === true) return el("span", { class: "badge ok" }, "reachable");
  if (device.reachable === false) return el("span", { class: "badge bad" }, "not reachable");
  return el("span", { class: "badge" }, "reachability unknown");
}

function deviceCard(device) {
  const id = device.id;
  const listed = state.files.get(id);
  const ticked = state.tickedFiles.get(id) || new Set();
  const nameId = `device-${id}-name`;
  let body;
  if (!listed) {
    body = el("p", { class: "hint" }, "Reading the printer's files…");
  } else if (listed.error) {
    body = el("p", { class: "error-text" }, `Its files could not be read: ${listed.error}`);
  } else if (listed.files.length === 0) {
    body = el("p", { class: "hint" }, "No stored files.");
  } else {
    const rows = listed.files.map((f) => el("tr", {},
      el("td", {}, el("input", {
        type: "checkbox", checked: ticked.has(f.name),
        "aria-label": `Select ${f.name} on ${device.name}`,
        onchange: (e) => tickFile(id, f.name, e.target.checked),
      })),
      el("td", { class: "name" }, f.name),
      el("td", {}, kindWords(f.kind)),
      el("td", { class: "num" }, size(f.size)),
      el("td", { class: "num" }, String(f.id))));
    const head = el("tr", {},
      el("th", { scope: "col" }, el("span", { class: "visually-hidden" }, "Select")),
      el("th", { scope: "col" }, "Name"),
      el("th", { scope: "col" }, "Kind"),
      el("th", { scope: "col", class: "num" }, "Size"),
      el("th", { scope: "col", class: "num" }, "ID"));
    body = el("div", { class: "table-wrap" },
      el("table", { class: "files" },
        el("caption", { class: "visually-hidden" }, `Files on ${device.name}`),
        el("thead", {}, head),
        el("tbody", {}, rows)));
  }
  return el("article", { class: "device", id: `device-${id}`, "aria-labelledby": nameId },
    el("div", { class: "device-head" },
      el("label", { class: "pick" },
        el("input", {
          type: "checkbox", checked: state.ticked.has(id),
          "aria-label": `Use ${device.name} as a destination`,
          onchange: (e) => { e.target.checked ? state.ticked.add(id) : state.ticked.delete(id); },
        }),
        el("span", { id: nameId, class: "device-name" }, device.name)),
      reachability(device)),
    el("p", { class: "meta" }, `${device.model || "unknown model"} · ${device.address} · ID ${id}`),
    body,
    el("div", { class: "actions" },
      el("button", { type: "button", "data-change": true, onclick: (e) => transfer(e.target, id, "copy") },
         "Copy to ticked printers"),
      el("button", { type: "button", "data-change": true, onclick: (e) => transfer(e.target, id, "move") },
         "Move to ticked printers"),
      el("button", { type: "button", "data-change": true, class: "danger",
                     onclick: (e) => deleteOnDevice(e.target, id) }, "Delete")));
}

function tickFile(id, name, on) {
  if (!state.tickedFiles.has(id)) state.tickedFiles.set(id, new Set());
  const set = state.tickedFiles.get(id);
  on ? set.add(name) : set.delete(name);
}

function tickedFilesOf(id) {
  const names = state.tickedFiles.get(id) || new Set();
  const listed = (state.files.get(id) || {}).files || [];
  return listed.filter((f) => names.has(f.name))
               .map((f) => ({ name: f.name, kind: f.kind, size: f.size, id: f.id }));
}

async function transfer(button, id, type) {
  const files = tickedFilesOf(id);
  const destinations = [...state.ticked].filter((d) => d !== id);
  if (files.length === 0) return tell("Tick the files to send first.", "error");
  if (destinations.length === 0) return tell("Tick the printers to send them to first.", "error");
  const answer = await change(button, `The ${type} could not start`,
                              () => api.create({ type, source: id, destinations, files }));
  if (answer) started(answer, type);
}

async function deleteOnDevice(button, id) {
  const files = tickedFilesOf(id);
  if (files.length === 0) return tell("Tick the files to delete first.", "error");
  const answer = await change(button, "The delete could not start",
                              () => api.create({ type: "delete", device: id, files }));
  if (answer) {
    state.tickedFiles.delete(id);
    started(answer, "delete");
  }
}

function started(answer, what) {
  const ids = answer.operations.map((o) => (o.id === null ? "?" : o.id));
  tell(`Started ${what}: operation${ids.length > 1 ? "s" : ""} ${ids.join(", ")}.`);
  state.opsOffset = 0;
  refreshOperations();
}

// --- The server store -------------------------------------------------------------------------

async function loadStore() {
  try {
    state.store = (await api.store()).files;
  } catch (e) {
    failed("The store could not be listed", e);
  }
  renderStore();
}

function renderStore() {
  const rows = state.store.map((f) => el("tr", {},
    el("td", {}, el("input", {
      type: "checkbox", checked: state.tickedStored.has(f.name), "aria-label": `Select ${f.name}`,
      onchange: (e) => { e.target.checked ? state.tickedStored.add(f.name) : state.tickedStored.delete(f.name); },
    })),
    el("td", { class: "name" }, f.name),
    el("td", {}, kindWords(f.kind)),
    el("td", { class: "num" }, size(f.size)),
    el("td", { class: "num" }, f.id === null ? "" : f.id),
    el("td", {}, el("time", { datetime: f.date }, localDate(f.date)))));
  if (rows.length === 0) {
    rows.push(el("tr", {}, el("td", { colspan: 6, class: "hint" }, "The store is empty.")));
  }
  replaceChildren($("store-rows"), rows);
  applyAccess();
}

async function upload(files) {
  if (!state.canChange) return tell("Uploading needs the console's token: open the address zarvo-console printed.", "error");
  for (const file of files) {
    if (file.size > MAX_UPLOAD) {
      tell(`${file.name} is larger than 256 MiB and was not uploaded.`, "error");
      continue;
    }
    tell(`Uploading ${file.name}…`);
    const answer = await change(null, `${file.name} was not stored`, () => api.upload(file));
    if (answer) {
      tell(`${file.name} is in the store.`);
      state.tickedStored.add(file.name);
    }
  }
  await loadStore();
}

function setUpDrop() {
  const drop = $("drop");
  drop.addEventListener("dragover", (e) => { e.preventDefault(); drop.classList.add("over"); });
  drop.addEventListener("dragleave", () => drop.classList.remove("over"));
  drop.addEventListener("drop", (e) => {
    e.preventDefault();
    drop.classList.remove("over");
    upload([...e.dataTransfer.files]);
  });
  $("file-input").addEventListener("change", (e) => {
    upload([...e.target.files]);
    e.target.value = "";
  });
}

async function sendStored(button) {
  const files = [...state.tickedStored].filter((n) => state.store.some((f) => f.name === n));
  const devices = [...state.ticked];
  if (files.length === 0) return tell("Tick the stored files to send first.", "error");
  if (devices.length === 0) return tell("Tick the printers to send them to first.", "error");
  const answer = await change(button, "The files could not be sent",
                              () => api.create({ type: "add", devices, files }));
  if (answer) started(answer, "sending");
}

async function deleteStored(button) {
  const names = [...state.tickedStored];
  if (names.length === 0) return tell("Tick the stored files to delete first.", "error");
  await change(button, "The store could not be changed", async () => {
    for (const name of names) {
      await api.deleteStored(name);
      state.tickedStored.delete(name);
    }
    tell(`Deleted ${names.join(", ")} from the store.`);
  });
  await loadStore();
}

// --- Operations -------------------------------------------------------------------------------

let refreshing = null;
function refreshOperations() {
  // One refresh at a time; a request while one runs is served by one more afterwards.
  if (refreshing) {
    refreshing.again = true;
    return refreshing.done;
  }
  refreshing = { again: false };
  refreshing.done = (async () => {
    do {
      refreshing.again = false;
      await loadOperations();
    } while (refreshing.again);
    refreshing = null;
  })();
  return refreshing.done;
}

async function loadOperations() {
  let answer;
  try {
    answer = await api.operations(state.opsOffset, OPS_PER_PAGE);
  } catch (e) {
    failed("The operations could not be listed", e);
    return;
  }
  state.ops = answer.operations;
  state.opsTotal = answer.total;
  renderCounts(answer.counts);
  // Printers whose files an operation that just ended may have changed: one seen running
  // before, or a new one that ended before the page first saw it.
  const touched = new Set();
  const newest = state.newestSeen;
  for (const op of state.ops) {
    const before = state.seenStatus.get(op.id);
    const ended = op.status !== "IN_PROGRESS" &&
        (before === "IN_PROGRESS" || (before === undefined && state.opsListed && op.id > newest));
    state.newestSeen = Math.max(state.newestSeen, op.id);
    if (ended) {
      for (const a of [op.source, ...op.destinations]) {
        const d = a && deviceByAddress(a);
        if (d) touched.add(d.id);
      }
    }
    state.seenStatus.set(op.id, op.status);
  }
  state.opsListed = true;
  renderOperations();
  if (state.details !== null) showDetails(state.details, false);
  await Promise.all([...touched].map((id) => loadFiles(id)));
}

function renderCounts(counts) {
  const parts = Object.entries(counts).filter(([, n]) => n > 0)
                      .map(([status, n]) => `${n} ${statusWords(status)}`);
  $("ops-counts").textContent = parts.length ? parts.join(" · ") : "none yet";
}

function operationRow(op) {
  const label = `operation ${op.id}`;
  return el("tr", { id: `op-${op.id}`, "data-status": op.status },
    el("td", { class: "num" }, String(op.id)),
    el("td", {}, op.type.toLowerCase()),
    el("td", {}, el("span", { class: `badge status-${op.status.toLowerCase()}` }, statusWords(op.status))),
    el("td", { class: "progress" },
      el("progress", { max: 100, value: op.progress, "aria-label": `Progress of ${label}` }),
      el("span", { class: "percent" }, `${op.progress}%`)),
    el("td", {}, deviceLabel(op.source)),
    el("td", {}, op.destinations.length ? op.destinations.map(deviceLabel).join(", ") : "-"),
    el("td", { class: "row-actions" },
      el("button", { type: "button", class: "quiet", "aria-label": `Details of ${label}`,
                     onclick: () => showDetails(op.id, true) }, "Details"),
      op.status === "IN_PROGRESS"
        ? el("button", { type: "button", "data-change": true, "aria-label": `Cancel ${label}`,
                         onclick: (e) => act(e.target, op.id, "cancel") }, "Cancel")
        : op.status !== "COMPLETED"
          ? el("button", { type: "button", "data-change": true, "aria-label": `Retry ${label}`,
                           onclick: (e) => act(e.target, op.id, "retry") }, "Retry")
          : null));
}

function renderOperations() {
  const rows = state.ops.map(operationRow);
  if (rows.length === 0) {
    rows.push(el("tr", {}, el("td", { colspan: 7, class: "hint" }, "No operations.")));
  }
  replaceChildren($("ops-rows"), rows);
  $("ops-range").textContent = state.opsTotal === 0 ? "" :
      `${state.opsOffset + 1}–${Math.min(state.opsOffset + OPS_PER_PAGE, state.opsTotal)} of ${state.opsTotal}`;
  $("ops-newer").disabled = state.opsOffset === 0;
  $("ops-older").disabled = state.opsOffset + OPS_PER_PAGE >= state.opsTotal;
  applyAccess();
}

async function act(button, id, what) {
  const done = await change(button, `Operation ${id} could not ${what}`,
                            () => (what === "cancel" ? api.cancel(id) : api.retry(id)));
  if (done) {
    tell(what === "cancel" ? `Operation ${id} is asked to stop.` : `Operation ${id} runs again.`);
    refreshOperations();
  }
}

async function showDetails(id, focus) {
  let op;
  try {
    op = await api.operation(id);
  } catch (e) {
    if (focus) failed(`Operation ${id} could not be shown`, e);
    if (e instanceof ApiError && e.status === 404) closeDetails();
    return;
  }
  state.details = id;
  const panel = $("details");
  $("details-title").textContent =
      `Operation ${op.id}: ${op.type.toLowerCase()}, ${statusWords(op.status)}, ${op.progress}%`;
  replaceChildren($("details-rows"), op.files.map((f) => el("tr", { class: `file-${f.state}` },
    el("td", { class: "name" }, f.name),
    el("td", {}, kindWords(f.kind)),
    el("td", {}, deviceLabel(f.source)),
    el("td", {}, deviceLabel(f.destination)),
    el("td", {}, f.state === "pending" ? f.text : `${f.text} (${f.result})`))));
  panel.hidden = false;
  if (focus) panel.focus();
}

function closeDetails() {
  state.details = null;
  $("details").hidden = true;
}

// --- Live updates -----------------------------------------------------------------------------

function onSummary(summary) {
  if (summary.digest === state.digest) return;
  state.digest = summary.digest;
  refreshOperations();
}

function follow() {
  let polling = 0;
  const poll = () => {
    if (polling) return;
    $("live").textContent = "refreshing every few seconds";
    $("live").className = "pill warn";
    polling = setInterval(refreshOperations, POLL_MS);
  };
  if (!("EventSource" in window)) return poll();
  const source = new EventSource("/api/events");
  source.addEventListener("open", () => {
    $("live").textContent = "live";
    $("live").className = "pill ok";
  });
  source.addEventListener("operations", (e) => onSummary(JSON.parse(e.data)));
  source.addEventListener("error", () => {
    // The browser tries again by itself while it can; a closed source stays closed.
    if (source.readyState === EventSource.CLOSED) poll();
    else {
      $("live").textContent = "reconnecting";
      $("live").className = "pill warn";
    }
  });
}

// --- Access and start -------------------------------------------------------------------------

function applyAccess() {
  for (const b of document.querySelectorAll("[data-change]")) b.disabled = !state.canChange;
}

function start() {
  state.canChange = takeTokenFromAddress();
  const access = $("access");
  access.textContent = state.canChange ? "changes allowed" : "read only: open the address zarvo-console printed";
  access.className = `pill ${state.canChange ? "ok" : "warn"}`;
  applyAccess();

  $("reload-fleet").addEventListener("click", () => { state.files.clear(); loadDevices(); });
  $("devices-prev").addEventListener("click", () => { state.devicePage -= 1; renderDevices(); visibleDevices().forEach((d) => loadFiles(d.id)); });
  $("devices-next").addEventListener("click", () => { state.devicePage += 1; renderDevices(); visibleDevices().forEach((d) => loadFiles(d.id)); });
  $("send-stored").addEventListener("click", (e) => sendStored(e.target));
  $("delete-stored").addEventListener("click", (e) => deleteStored(e.target));
  $("clear-ops").addEventListener("click", async (e) => {
    const answer = await change(e.target, "Finished operations could not be cleared", () => api.clear());
    if (answer) {
      tell(`Cleared ${answer.removed} finished operation${answer.removed === 1 ? "" : "s"}.`);
      state.opsOffset = 0;
      refreshOperations();
    }
  });
  $("ops-newer").addEventListener("click", () => { state.opsOffset = Math.max(0, state.opsOffset - OPS_PER_PAGE); refreshOperations(); });
  $("ops-older").addEventListener("click", () => { state.opsOffset += OPS_PER_PAGE; refreshOperations(); });
  $("close-details").addEventListener("click", closeDetails);
  document.addEventListener("keydown", (e) => { if (e.key === "Escape" && state.details !== null) closeDetails(); });
  setUpDrop();

  loadDevices();
  loadStore();
  refreshOperations();
  follow();
}

start();
