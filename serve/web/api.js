// The JSON API under /api/v1: requests, the token (for writes, and for reads under --private),
// errors as the server words them, and jobs polled at their Location until they end.

const TOKEN_KEY = 'zurid.token';

// The token lives for this browser tab only (sessionStorage), never in a cookie or the URL.
export const token = {
  get: () => sessionStorage.getItem(TOKEN_KEY) || '',
  set: (value) => sessionStorage.setItem(TOKEN_KEY, value.trim()),
  clear: () => sessionStorage.removeItem(TOKEN_KEY),
};

export class ApiError extends Error {
  constructor(status, message, code) {
    super(message);
    this.status = status;
    this.code = code || '';
  }
}

// What an answer's status means for an operator, when the server gave no message.
const STATUS_TEXT = {
  401: 'the token is missing or wrong',
  403: 'not allowed',
  404: 'not found',
  409: 'busy, try again',
  422: 'value not allowed',
  503: 'sensor absent',
  504: 'the sensor did not answer',
};

// Sends a request; resolves to {status, body, location} for 2xx, rejects with ApiError
// otherwise (the server's {"error": {"code", "message"}} when it sent one).
export async function request(method, path, body) {
  const headers = {Accept: 'application/json'};
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (token.get()) headers.Authorization = `Bearer ${token.get()}`; // reads too: --private
  let res;
  try {
    res = await fetch(path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      cache: 'no-store',
    });
  } catch (e) {
    throw new ApiError(0, 'the server cannot be reached');
  }
  const text = await res.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch (e) {
    data = null;
  }
  if (!res.ok) {
    const err = data && data.error ? data.error : {};
    throw new ApiError(res.status, err.message || STATUS_TEXT[res.status] || `HTTP ${res.status}`,
                       err.code);
  }
  return {status: res.status, body: data, location: res.headers.get('Location')};
}

export const get = (path) => request('GET', path).then((r) => r.body);

export function sensorPath(id, rest = '') {
  return `/api/v1/sensors/${encodeURIComponent(id)}${rest}`;
}

// Starts a job (202 + Location) and polls it until it is no longer running. `progress` sees
// each state on the way. Resolves to the job's last state.
export async function runJob(method, path, body, progress = () => {}) {
  const started = await request(method, path, body);
  let delay = 250;
  for (;;) {
    const job = await get(started.location);
    progress(job);
    if (job.state !== 'running') return job;
    await new Promise((resolve) => setTimeout(resolve, delay));
    delay = Math.min(delay * 1.5, 2000);
  }
}
