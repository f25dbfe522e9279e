// The review page of zelvo-queue serve. The token is kept in this tab's
// sessionStorage only; every figure comes from the JSON API with it. All
// data goes into the page as text nodes: a message holds anyone's text.
"use strict";

const TEXTS = {
  en: {
    title: "Send queue", refresh: "Refresh", signOut: "Sign out", token: "Token", signIn: "Sign in",
    hint: "A read or admin token; it is kept in this tab only.",
    counts: "States", none: "No messages in this state.", more: "More",
    list: "Messages: {0}", message: "Message {0}",
    id: "No.", recipient: "Recipient", created: "Created", attempts: "Attempts", state: "State",
    text: "Text", account: "Account", defaultAccount: "(the default)", submitter: "Submitted by",
    history: "Attempts", noAttempts: "No attempt yet.", events: "Events",
    runner: "Runner", started: "Started", ended: "Ended", outcome: "Outcome", answer: "Answer",
    error: "Error", retry: "Retry", drop: "Drop",
    wrongToken: "The token is not valid.",
    noRead: "This token may only submit messages, not read the queue. Sign in with a read or admin token.",
    notAdmin: "This token may not retry or drop messages: that needs an admin token.",
    expired: "The token is no longer valid; you were signed out.",
    signedOut: "Signed out.", unreachable: "The queue's server does not answer.",
    failed: "The server answered {0}: {1}",
    confirmRetryUnknown: "Message {0} may already have been delivered: it went to the gateway, " +
      "but no answer came back. A retry may deliver it twice. Queue it again?",
    confirmRetry: "Queue message {0} again?",
    confirmDropUnknown: "Message {0} may already have been delivered: it went to the gateway, " +
      "but no answer came back. Drop it? It will not be sent again.",
    confirmDrop: "Drop message {0}? It will not be sent.",
    retried: "Message {0} is queued again.", dropped: "Message {0} was dropped.",
    states: {
      queued: "queued", sending: "sending", accepted: "accepted", refused: "refused",
      failed: "failed", unknown: "unknown", expired: "expired", dropped: "dropped",
    },
  },
  de: {
    title: "Sendewarteschlange", refresh: "Aktualisieren", signOut: "Abmelden", token: "Token",
    signIn: "Anmelden", hint: "Ein Lese- oder Admin-Token; er bleibt nur in diesem Tab gespeichert.",
    counts: "Zustände", none: "Keine Nachrichten in diesem Zustand.", more: "Weitere",
    list: "Nachrichten: {0}", message: "Nachricht {0}",
    id: "Nr.", recipient: "Empfänger", created: "Erstellt", attempts: "Versuche", state: "Zustand",
    text: "Text", account: "Konto", defaultAccount: "(das voreingestellte)", submitter: "Eingereicht von",
    history: "Versuche", noAttempts: "Noch kein Versuch.", events: "Ereignisse",
    runner: "Runner", started: "Begonnen", ended: "Beendet", outcome: "Ergebnis", answer: "Antwort",
    error: "Fehler", retry: "Erneut senden", drop: "Verwerfen",
    wrongToken: "Der Token ist nicht gültig.",
    noRead: "Dieser Token darf nur Nachrichten einreichen, nicht die Warteschlange lesen. " +
      "Melden Sie sich mit einem Lese- oder Admin-Token an.",
    notAdmin: "Dieser Token darf Nachrichten weder erneut senden noch verwerfen: " +
      "dafür ist ein Admin-Token nötig.",
    expired: "Der Token ist nicht mehr gültig; Sie wurden abgemeldet.",
    signedOut: "Abgemeldet.", unreachable: "Der Server der Warteschlange antwortet nicht.",
    failed: "Der Server antwortete {0}: {1}",
    confirmRetryUnknown: "Nachricht {0} wurde womöglich schon zugestellt: Sie ging an das Gateway, " +
      "aber es kam keine Antwort. Erneutes Senden kann sie doppelt zustellen. Erneut einreihen?",
    confirmRetry: "Nachricht {0} erneut einreihen?",
    confirmDropUnknown: "Nachricht {0} wurde womöglich schon zugestellt: Sie ging an das Gateway, " +
      "aber es kam keine Antwort. Verwerfen? Sie wird nicht erneut gesendet.",
    confirmDrop: "Nachricht {0} verwerfen? Sie wird nicht gesendet.",
    retried: "Nachricht {0} steht wieder in der Warteschlange.",
    dropped: "Nachricht {0} wurde verworfen.",
    states: {
      queued: "wartend", sending: "wird gesendet", accepted: "angenommen", refused: "abgelehnt",
      failed: "fehlgeschlagen", unknown: "unbekannt", expired: "abgelaufen", dropped: "verworfen",
    },
  },
};
const ORDER = ["queued", "sending", "accepted", "refused", "failed", "unknown", "expired", "dropped"];
const DECIDABLE = ["unknown", "failed", "expired"];
const KEY = "zelvo-queue-token";

const preferred = (navigator.languages && navigator.languages[0]) || navigator.language || "";
const lang = preferred.toLowerCase().startsWith("de") ? "de" : "en";
const T = TEXTS[lang];

let token = "";
let state = "unknown";  // the state listed: the one that waits for a person
let next = null;        // the last id of the list's page, while more follow
let asked = 0;          // the list's latest request: an older answer is dropped

const $ = (id) => document.getElementById(id);
const t = (key, ...args) => T[key].replace(/\{(\d)\}/g, (_, i) => String(args[Number(i)]));
const stateName = (s) => T.states[s] || s;
const when = (iso) => (iso ? new Date(iso).toLocaleString(lang) : null);

// An element with the given properties; strings and numbers become text nodes,
// null a dash.
function el(tag, props, ...children) {
  const e = Object.assign(document.createElement(tag), props);
  e.append(...children.map((c) => (c instanceof Node ? c : c === null || c === undefined ? "—" : String(c))));
  return e;
}

function button(key, act) {
  const b = el("button", { type: "button", className: key }, T[key]);
  b.addEventListener("click", act);
  return b;
}

function notice(text, kind) {
  const n = $("notice");
  n.textContent = text || "";
  n.className = kind || "";
  n.hidden = !text;
}

// {status, body}; status 0 when the server could not be reached.
async function call(method, path, use) {
  let r;
  try {
    r = await fetch(path, { method, cache: "no-store", headers: { Authorization: "Bearer " + (use || token) } });
  } catch (e) {
    return { status: 0, body: {} };
  }
  return { status: r.status, body: await r.json().catch(() => ({})) };
}

function complain(r) {
  if (r.status === 401) signOut(t("expired"), "error");
  else if (r.status === 0) notice(t("unreachable"), "error");
  else notice(t("failed", r.status, r.body.error || ""), "error");
}

// The answer of a GET, or null once the reason was shown.
async function read(path) {
  const r = await call("GET", path);
  if (r.status === 200) return r.body;
  complain(r);
  return null;
}

async function signIn(candidate) {
  const r = await call("GET", "/v1/stats", candidate);
  if (r.status !== 200) {  // the token is not kept
    signOut(r.status === 401 ? t("wrongToken") : r.status === 403 ? t("noRead")
      : r.status === 0 ? t("unreachable") : t("failed", r.status, r.body.error || ""), "error");
    return;
  }
  token = candidate;
  sessionStorage.setItem(KEY, token);
  $("token").value = "";
  notice("");
  $("signin").hidden = true;
  $("queue").hidden = $("signout").hidden = $("refresh").hidden = false;
  showCounts(r.body);
  await showList(true);
}

function signOut(text, kind) {
  token = "";
  sessionStorage.removeItem(KEY);
  $("queue").hidden = $("signout").hidden = $("refresh").hidden = true;
  $("detail").hidden = true;
  $("detail").replaceChildren();
  $("list").querySelector("tbody").replaceChildren();
  $("signin").hidden = false;
  $("token").value = "";
  notice(text, kind);
  $("token").focus();
}

function showCounts(stats) {
  const states = [...ORDER.filter((s) => s in stats), ...Object.keys(stats).filter((s) => !ORDER.includes(s))];
  $("counts").querySelector("ul").replaceChildren(...states.map((s) => {
    const b = el("button", { type: "button", className: s === state ? "current" : "" },
      el("span", { className: "state" }, stateName(s)), el("span", { className: "count" }, stats[s]));
    b.dataset.state = s;
    b.addEventListener("click", () => {
      state = s;
      for (const o of $("counts").querySelectorAll("button")) o.classList.toggle("current", o === b);
      showList(true);
    });
    return el("li", {}, b);
  }));
}

async function showList(fresh) {
  const mine = ++asked;
  const page = await read(`/v1/messages?state=${encodeURIComponent(state)}&limit=100` +
                          (fresh ? "" : `&after=${next}`));
  if (!page || mine !== asked) return;
  const body = $("list").querySelector("tbody");
  if (fresh) body.replaceChildren();
  for (const m of page.messages) {
    const open = el("button", { type: "button", className: "link" }, m.id);
    open.addEventListener("click", () => showMessage(m.id));
    const row = el("tr", {}, el("td", {}, open), el("td", {}, m.recipient),
                   el("td", { className: "time" }, when(m.created)), el("td", { className: "num" }, m.attempts));
    row.dataset.id = m.id;
    body.append(row);
  }
  next = page.next;
  $("more").hidden = next === null;
  $("list").querySelector("h2").textContent = t("list", stateName(state));
  $("list").querySelector(".empty").hidden = body.children.length > 0;
}

async function showMessage(id) {
  const m = await read(`/v1/messages/${id}`);
  if (!m) return;
  const fields = [["state", stateName(m.state)], ["recipient", m.recipient], ["created", when(m.created)],
                  ["account", m.account || T.defaultAccount], ["submitter", m.submitter], ["text", m.text]];
  const actions = el("p", { className: "actions" });
  if (DECIDABLE.includes(m.state)) {
    actions.append(button("retry", () => decide(m, true)), button("drop", () => decide(m, false)));
  }
  const columns = ["id", "runner", "started", "ended", "outcome", "answer", "error"];
  const history = m.history.length === 0 ? el("p", { className: "empty" }, T.noAttempts)
    : el("table", { className: "history" },
      el("thead", {}, el("tr", {}, ...columns.map((c) => el("th", {}, T[c])))),
      el("tbody", {}, ...m.history.map((a) => el("tr", {},
        el("td", { className: "num" }, a.number), el("td", {}, a.runner),
        el("td", { className: "time" }, when(a.started)), el("td", { className: "time" }, when(a.ended)),
        el("td", {}, a.outcome && stateName(a.outcome)), el("td", {}, a.answer), el("td", {}, a.error)))));
  const events = el("ol", { className: "events" },
    ...m.events.map((e) => el("li", {}, el("time", {}, when(e.at)), " ", e.text)));
  const d = $("detail");
  d.replaceChildren(el("h2", {}, t("message", m.id)), actions,
    el("dl", {}, ...fields.flatMap(([k, v]) => [el("dt", {}, T[k]), el("dd", { className: k }, v)])),
    el("h3", {}, T.history), history, el("h3", {}, T.events), events);
  d.dataset.id = m.id;
  d.hidden = false;
  d.scrollIntoView({ block: "nearest" });
}

async function decide(m, retry) {
  const ask = (retry ? "confirmRetry" : "confirmDrop") + (m.state === "unknown" ? "Unknown" : "");
  if (!window.confirm(t(ask, m.id))) return;
  const r = await call("POST", `/v1/messages/${m.id}/${retry ? "retry" : "drop"}`);
  if (r.status === 401) return complain(r);
  if (r.status === 200) notice(t(retry ? "retried" : "dropped", m.id), "ok");
  else if (r.status === 403) notice(T.notAdmin, "error");
  else complain(r);
  await refresh(m.id);
}

async function refresh(id) {
  const stats = await read("/v1/stats");
  if (!stats) return;
  showCounts(stats);
  await showList(true);
  if (id) await showMessage(id);
}

document.documentElement.lang = lang;
document.title = T.title + " – zelvo-queue";
for (const e of document.querySelectorAll("[data-t]")) e.textContent = T[e.dataset.t];
$("signin").addEventListener("submit", (ev) => {
  ev.preventDefault();
  signIn($("token").value.trim());
});
$("signout").addEventListener("click", () => signOut(T.signedOut, "ok"));
$("refresh").addEventListener("click", () => refresh($("detail").hidden ? 0 : Number($("detail").dataset.id)));
$("more").addEventListener("click", () => showList(false));
const kept = sessionStorage.getItem(KEY);
if (kept) signIn(kept);
else signOut("");
