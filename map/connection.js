// The connection to the bridge: its event stream (/stream), polling /state
// when streaming fails, and the way back to the stream. Independent of the
// map: connect() takes what to do with each snapshot's text, with each change
// of the connection, and after each gap in what arrived (the track to fetch).
import { bridge_url, fetch_text, view } from "./where.js";

const POLL_INTERVAL_MS = 1000;
const REQUEST_TIMEOUT_MS = 3000;
// The bridge sends an event at least about once a second; silence this long
// means the connection is stuck, whatever the EventSource says.
const STREAM_SILENCE_MS = 5000;
// Stream failures in a row, before any event, after which we poll instead.
const STREAM_FAILURES_BEFORE_POLLING = 3;
// While polling a bridge that answers, try the stream again this often.
const STREAM_RETRY_MS = 30000;

let source = null;
let stream_failures = 0;
let stream_watchdog = 0;
let poll_timer = 0;
let poll_generation = 0;
// A request or the stream failed since the bridge last answered: once it
// answers again, its stream is worth trying at once.
let connection_failed = false;
let stream_retry_timer = 0;
let on = { receive() {}, changed() {}, gap() {} };

export function connect(handlers) { on = handlers; }

// Opens the stream. While polling, the new stream is on trial: polling goes on
// until its first event, and if it fails the page keeps polling.
function start_stream() {
  if (typeof EventSource !== "function") return start_polling();
  close_stream();
  if (view.transport !== "polling") view.transport = "stream";
  source = new EventSource(bridge_url("/stream"));
  source.onopen = () => set_reachable(true);
  source.onmessage = (event) => {
    if (view.transport === "polling") {
      stop_polling();
      view.transport = "stream";
      on.gap();
    }
    stream_failures = 0;
    connection_failed = false;
    arm_stream_watchdog();
    on.receive(event.data);
  };
  source.onerror = () => {
    // EventSource reconnects by itself (the bridge asks for 2 s); count
    // failures so that a stream that never works gives way to polling.
    on.gap();
    if (view.transport === "polling") return give_up_trial();
    connection_failed = true;
    set_reachable(false);
    if (++stream_failures >= STREAM_FAILURES_BEFORE_POLLING || source.readyState === EventSource.CLOSED)
      start_polling();
  };
  arm_stream_watchdog();
  on.changed();
}

function close_stream() {
  clearTimeout(stream_watchdog);
  if (source) { source.onopen = source.onmessage = source.onerror = null; source.close(); }
  source = null;
}

function arm_stream_watchdog() {
  clearTimeout(stream_watchdog);
  stream_watchdog = setTimeout(() => {
    // No event for too long: the connection may be held but dead, or queued
    // behind the browser's per-host connection limit. Poll instead.
    if (view.transport === "polling") return give_up_trial();
    set_reachable(false);
    start_polling();
  }, STREAM_SILENCE_MS);
}

function give_up_trial() {
  close_stream();
  clearTimeout(stream_retry_timer);
  stream_retry_timer = setTimeout(start_stream, STREAM_RETRY_MS);
}

function start_polling() {
  if (view.transport === "polling") return;
  close_stream();
  view.transport = "polling";
  on.gap();
  poll_once(++poll_generation);
  give_up_trial();
  on.changed();
}

function stop_polling() {
  poll_generation += 1;  // a poll still under way ends its loop
  clearTimeout(poll_timer);
  clearTimeout(stream_retry_timer);
}

async function poll_once(generation) {
  const text = await fetch_text(bridge_url("/state"), REQUEST_TIMEOUT_MS);
  if (generation !== poll_generation) return;
  if (text === null) {
    connection_failed = true;
    set_reachable(false);
  } else {
    on.receive(text);
    // The bridge answers again after a spell away: its stream will likely work too.
    if (connection_failed && !source) start_stream();
    connection_failed = false;
  }
  poll_timer = setTimeout(() => poll_once(generation), POLL_INTERVAL_MS);
}

function set_reachable(reachable) {
  view.reachable = reachable;
  if (!reachable) view.live = false;
  on.changed();
}

// The 📡 toggle: off closes the stream and stops polling; on follows again
// and fetches the track missed meanwhile.
export function set_live_position(live) {
  view.live_position = live;
  close_stream();
  stop_polling();
  stream_failures = 0;
  view.transport = "none";
  view.reachable = null;
  view.live = false;
  if (live) {
    on.gap();
    start_stream();
  }
  on.changed();
}
