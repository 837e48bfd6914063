// The console's JSON API as the page uses it. Changes carry the token zarvo-console printed at
// start; the page takes it from its address (#token=...) once and keeps it for this tab only.

const TOKEN_KEY = "console-token";

export function takeTokenFromAddress() {
  const match = /(?:^#|&)token=([0-9a-f]{16,64})/.exec(location.hash);
  if (match) {
    sessionStorage.setItem(TOKEN_KEY, match[1]);
    // Out of the address bar, the history and anything copied from them.
    history.replaceState(null, "", location.pathname + location.search);
  }
  return token() !== "";
}

export function token() {
  return sessionStorage.getItem(TOKEN_KEY) || "";
}

// A refused request or a failed service, as the API reports it: words and the code beside them.
export class ApiError extends Error {
  constructor(status, code, message, details) {
    super(message);
    this.status = status;
    this.code = code;
    this.details = details || "";
  }
  get shown() {
    return `${this.message} (${this.code})`;
  }
}

async function request(method, path, body, headers = {}) {
  const init = { method, headers: { Accept: "application/json", ...headers }, cache: "no-store" };
  if (method !== "GET") init.headers["X-Console-Token"] = token();
  if (body !== undefined) init.body = body;
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    throw new ApiError(0, "Offline", "the console cannot be reached");
  }
  let data = null;
  try {
    data = await response.json();
  } catch (e) {
    data = null;
  }
  if (!response.ok) {
    const error = (data && data.error) || {};
    throw new ApiError(response.status, error.code || String(response.status),
                       error.message || "the console refused the request", error.details);
  }
  return data;
}

const json = (value) => JSON.stringify(value);
const asJson = { "Content-Type": "application/json" };

export const api = {
  devices: () => request("GET", "/api/devices"),
  deviceFiles: (id) => request("GET", `/api/devices/${encodeURIComponent(id)}/files`),
  store: () => request("GET", "/api/store"),
  upload(file) {
    const form = new FormData();
    form.append("file", file, file.name);
    return request("POST", "/api/store", form);
  },
  deleteStored: (name) => request("DELETE", `/api/store/${encodeURIComponent(name)}`),
  operations: (offset, limit) => request("GET", `/api/operations?offset=${offset}&limit=${limit}`),
  operation: (id) => request("GET", `/api/operations/${id}`),
  create: (operation) => request("POST", "/api/operations", json(operation), asJson),
  cancel: (id) => request("POST", `/api/operations/${id}/cancel`),
  retry: (id) => request("POST", `/api/operations/${id}/retry`),
  clear: () => request("POST", "/api/operations/clear"),
};
