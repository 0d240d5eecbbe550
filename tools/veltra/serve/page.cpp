// The page: the registers and their state, the tables down and up, and the
// keypad with its display line (keys through /keys, the displays through
// /display read as one stream per browser, so that the token can travel in
// a header and tabs do not use up the browser's connections).
#include "page.hpp"

namespace veltra::tool::serve {

const std::string& page_html() {
    static const std::string page = R"PAGE(<!DOCTYPE html>
<html lang="it"><head><meta charset="utf-8"><title>VELTRA</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body{font-family:sans-serif;margin:0;background:#eee;color:#222}
header{background:#404040;color:#fff;padding:8px 16px;display:flex;gap:16px;align-items:center}
header h1{font-size:18px;margin:0}
main{display:flex;flex-wrap:wrap;gap:16px;padding:16px}
section{background:#fff;border-radius:6px;padding:12px;box-shadow:0 1px 3px #0003}
table{border-collapse:collapse}td,th{padding:3px 8px;text-align:left;border-bottom:1px solid #ddd}
tr.sel{background:#def}tr{cursor:pointer}
#status dl{display:grid;grid-template-columns:auto auto;gap:2px 12px;margin:0 0 8px}
#status dt{color:#555}#status dd{margin:0}
#status pre{font-size:12px;max-height:240px;overflow:auto;margin:4px 0}
.target{font-weight:normal;color:#555;font-size:15px}
#message{font-family:monospace;font-size:12px;white-space:pre-wrap;max-width:420px}
#display{font-family:"Lucida Console",monospace;font-size:28px;background:#3399ff;min-height:40px;
 padding:6px 10px;margin-bottom:8px;white-space:pre;text-align:center}
#keypad{position:relative;width:611px;height:340px;background:#404040}
#keypad button{position:absolute;font-weight:bold;font-size:11px;border:1px solid #222;
 white-space:pre-wrap;padding:0}
.ok{color:#080}.bad{color:#b00}
</style></head><body>
<header><h1>VELTRA</h1><span id="who"></span>
<label>token <input id="token" type="password" size="20"></label></header>
<main>
<section><h2>Registri</h2>
<table id="registers"><thead><tr><th>id</th><th>host</th><th>stato</th></tr></thead><tbody></tbody></table>
<p><button id="refresh">aggiorna</button></p>
<h2>Stato <span class="target"></span></h2><div id="status"></div></section>
<section><h2>Tabelle <span class="target" id="tables-target"></span></h2>
<table id="tables"><tbody>
<tr><td>reparti</td><td><button id="get-reparti" data-table="reparti" class="get">scarica CSV</button></td></tr>
<tr><td>plu</td><td><button id="get-plu" data-table="plu" class="get">scarica CSV</button></td></tr>
<tr><td>clienti</td><td><button id="get-clienti" data-table="clienti" class="get">scarica CSV</button></td></tr>
</tbody></table>
<p><select id="put-table"><option>reparti</option><option>plu</option><option>clienti</option></select>
<input id="put-file" type="file" accept=".csv,text/csv"></p>
<p><button id="put-check">controlla</button> <button id="put-send">carica</button></p>
<h2>Fatture</h2><p><button id="get-invoices">scarica CSV</button></p>
<h2>Vendite</h2><p><button id="get-sales">vendite di oggi</button></p><ul id="sales"></ul>
<h2>Backup <span class="target" id="backup-target"></span></h2><p><button id="get-backup">salva backup</button></p>
<div id="message"></div></section>
<section><h2>Tastiera <span class="target" id="keypad-target"></span></h2><div id="display"></div><div id="keypad"></div></section>
</main>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
let current = null, displayAbort = null;
// Each register's status answer ({ok, result} or {ok: false, error}), as it comes.
const statuses = {};
$("token").value = sessionStorage.getItem("veltra-token") || "";
// A new token loads everything again, and its answers replace the old error.
$("token").onchange = () => {
  sessionStorage.setItem("veltra-token", $("token").value);
  say("", true); keypad(); load(current);
};
function headers(extra) {
  const h = Object.assign({}, extra || {});
  if ($("token").value) h["Authorization"] = "Bearer " + $("token").value;
  return h;
}
function say(text, ok) { const m = $("message"); m.textContent = text; m.className = ok ? "ok" : "bad"; }
async function api(path, options) {
  options = options || {};
  options.headers = headers(options.headers);
  // Changes carry a header of ours: the service takes none a form could send.
  if ((options.method || "GET") !== "GET") options.headers["X-Veltra-Request"] = "1";
  const r = await fetch(path, options);
  const type = r.headers.get("Content-Type") || "";
  const body = type.startsWith("application/json") ? await r.json() : await r.blob();
  if (!r.ok) {
    const e = body.error || {};
    throw new Error(r.status + ": " + (e.name ? e.name + " (" + e.code + "): " + e.meaning + ". " : "") + (e.message || ""));
  }
  return body;
}
function base() { return "/api/v1/registers/" + encodeURIComponent(current); }
// The names come at once (check=0); each register's state follows on its
// own, so that a silent register holds up only its own row.
async function load(keep) {
  try {
    const d = await api("/api/v1/registers?check=0");
    const tb = $("registers").tBodies[0]; tb.innerHTML = "";
    for (const r of d.registers) {
      const tr = tb.insertRow(); tr.dataset.id = r.id;
      tr.insertCell().textContent = r.id; tr.insertCell().textContent = r.host;
      const st = tr.insertCell();
      tr.onclick = () => select(r.id);
      check(r.id, st);
    }
    const ids = d.registers.map((r) => r.id);
    if (ids.length) select(ids.includes(keep) ? keep : ids.includes(current) ? current : ids[0]);
  } catch (e) { say(e.message, false); }
}
// A status read as a job followed by short polls: a register that does not
// answer holds no connection, so tabs never use up the browser's 6.
async function askStatus(id) {
  try {
    let j = await api("/api/v1/registers/" + encodeURIComponent(id) + "/status?wait=0");
    while (j.state === "queued" || j.state === "running") {
      await new Promise((ok) => setTimeout(ok, 500));
      j = await api("/api/v1/jobs/" + encodeURIComponent(j.id));
    }
    if (j.state === "succeeded") return { ok: true, result: j.result || {} };
    const e = j.error || {};
    return { ok: false, error: (e.name ? e.name + " (" + e.code + "): " + e.meaning + ". " : "") + (e.message || j.state) };
  } catch (e) { return { ok: false, error: e.message }; }
}
async function check(id, cell) {
  delete statuses[id];
  cell.textContent = "in attesa..."; cell.className = "";
  if (id === current) showStatus();
  const s = statuses[id] = await askStatus(id);
  cell.textContent = !s.ok ? "non raggiungibile" : s.result.ready ? "pronta" : "non pronta";
  cell.className = s.ok && s.result.ready ? "ok" : "bad";
  if (id === current) showStatus();
}
function mark() { for (const tr of $("registers").tBodies[0].rows) tr.className = tr.dataset.id === current ? "sel" : ""; }
function select(id) {
  current = id; mark(); $("who").textContent = id;
  for (const t of document.querySelectorAll(".target")) t.textContent = "(cassa: " + id + ")";
  showStatus();
  watchDisplay();
}
// Why a register that answers does not sell.
function notReady(r, info) {
  if (info.SETUP === "1" || r.stato === "S") return "in modalità setup";
  if (r.stato === "E" || info.OPERATIVO === "0") return "in errore" + (info.ERRORE && info.ERRORE !== "0" ? " (errore " + info.ERRORE + ")" : "");
  if (r.stato === "C" || info.OCCUPATO === "1") return "sta eseguendo un comando";
  return "non disponibile (stato " + r.stato + ")";
}
function euro(cents) {
  const n = Number(cents);
  return Number.isFinite(n) ? (n / 100).toLocaleString("it-IT", { style: "currency", currency: "EUR" }) : "-";
}
// The state in words; the raw values one click away.
function showStatus() {
  const box = $("status"), s = statuses[current];
  box.innerHTML = "";
  if (!s) { box.textContent = "in attesa della cassa " + current + "..."; return; }
  if (!s.ok) { box.textContent = "La cassa " + current + " non risponde: " + s.error; box.className = "bad"; return; }
  box.className = "";
  const r = s.result, info = {};
  for (const f of (r.info || [])) info[f.name] = f.value;
  const rows = [
    ["Stato", r.ready ? "pronta per vendere" : "non pronta: " + notReady(r, info)],
    ["Modalità setup", info.SETUP === "1" ? "attiva" : "no"],
    ["Release", [r.release_name, r.version].filter((v) => v).join(" ") + (r.bitmap ? " (bitmap " + r.bitmap + ")" : "")],
    ["Totale del giorno", euro(info.TOT_GIORNO)],
    ["Scontrini del giorno", info.NUM_SCONTR || "-"],
    ["Matricola", info.MATRICOLA || "-"],
  ];
  const dl = document.createElement("dl"); dl.id = "status-words";
  for (const [k, v] of rows) {
    const dt = document.createElement("dt"), dd = document.createElement("dd");
    dt.textContent = k; dd.textContent = v; dl.append(dt, dd);
  }
  const raw = document.createElement("details"), sum = document.createElement("summary"), pre = document.createElement("pre");
  sum.textContent = "valori grezzi"; raw.id = "status-raw";
  let text = "";
  for (const [k, v] of Object.entries(r)) if (typeof v !== "object") text += k + ": " + v + "\n";
  for (const f of (r.info || [])) text += f.name + " = " + f.value + "\n";
  pre.textContent = text;
  raw.append(sum, pre);
  box.append(dl, raw);
}
function save(blob, name) {
  const a = document.createElement("a");
  a.href = URL.createObjectURL(blob); a.download = name;
  document.body.appendChild(a); a.click(); a.remove();
}
for (const b of document.querySelectorAll("button.get")) b.onclick = async () => {
  try { save(await api(base() + "/tables/" + b.dataset.table), current + "-" + b.dataset.table + ".csv"); say(b.dataset.table + " scaricato", true); }
  catch (e) { say(e.message, false); }
};
$("get-invoices").onclick = async () => {
  try { save(await api(base() + "/invoices"), current + "-fatture.csv"); say("fatture scaricate", true); }
  catch (e) { say(e.message, false); }
};
$("get-sales").onclick = async () => {
  try {
    const j = await api(base() + "/sales/today");
    const ul = $("sales"); ul.innerHTML = "";
    for (const [name, text] of Object.entries(j.files || {})) {
      const li = document.createElement("li"), a = document.createElement("a");
      a.href = "#"; a.textContent = name;
      a.onclick = (ev) => { ev.preventDefault(); save(new Blob([text], { type: "text/csv" }), current + "-" + name); };
      li.appendChild(a); ul.appendChild(li);
    }
    say(Object.keys(j.files || {}).length ? "vendite di oggi: " + Object.keys(j.files).length + " file" : "nessuna vendita oggi", true);
  } catch (e) { say(e.message, false); }
};
$("get-backup").onclick = async () => {
  try { say("backup in corso...", true); save(await api(base() + "/backup", { method: "POST" }), current + "-backup.dat"); say("backup salvato", true); }
  catch (e) { say(e.message, false); }
};
async function put(query, id) {
  const f = $("put-file").files[0];
  if (!f) { say("scegli un file CSV", false); return null; }
  return api("/api/v1/registers/" + encodeURIComponent(id) + "/tables/" + $("put-table").value + query,
             { method: "PUT", body: await f.text(), headers: { "Content-Type": "text/csv" } });
}
function changes(r) {
  let text = r.applied + " righe valide, " + r.changed + " record cambiano, " + r.reset + " tornano ai valori iniziali";
  if (r.reset > 0) {
    text += ":\n" + (r.reset_list || []).map((x) => x.id + " " + x.descr).join(", ");
    if (r.reset > (r.reset_list || []).length) text += ", ...";
  }
  return text;
}
$("put-check").onclick = async () => { try { const j = await put("?dry_run=1", current); if (j) say("prova sulla cassa " + current + ": " + changes(j.result), true); } catch (e) { say(e.message, false); } };
$("put-send").onclick = async () => {
  try {
    const id = current;
    const j = await put("?dry_run=1", id); if (!j) return;
    const resets = j.result.reset > 0;
    say("cassa " + id + ": " + changes(j.result), !resets);
    if (!confirm("Caricare sulla cassa " + id + "? " + changes(j.result))) { say("non caricato", false); return; }
    const k = await put("?confirm=1" + (resets ? "&allow_reset=1" : ""), id);
    say("caricato sulla cassa " + id + ": " + k.result.count + " righe (job " + k.id + ")", true);
  } catch (e) { say(e.message, false); }
};
async function press(name) {
  try { await api(base() + "/keys", { method: "POST", body: JSON.stringify({ keys: [name] }), headers: { "Content-Type": "application/json" } }); }
  catch (e) { say(e.message, false); }
}
async function keypad() {
  try {
    const d = await api("/api/v1/keypad");
    const pad = $("keypad"), x0 = 496, y0 = 128, scale = 0.6;
    pad.innerHTML = "";
    for (const k of d.keys) {
      const b = document.createElement("button");
      b.textContent = k.caption.trim(); b.dataset.key = k.name; b.title = k.name + " (" + k.code + ")";
      if (k.left < x0 || k.top < y0) { /* department keys sit left of the block */ }
      Object.assign(b.style, { left: (k.left * scale) + "px", top: ((k.top - y0) * scale) + "px",
        width: (k.width * scale) + "px", height: (k.height * scale) + "px", background: k.colour });
      b.onclick = () => press(k.name);
      pad.appendChild(b);
    }
  } catch (e) { say(e.message, false); }
}
// The display: one stream per browser, whatever the tabs. The tab holding
// the lock reads every register's display and passes each text on to the
// other tabs; when it closes, the lock and the stream pass to another tab.
// Without locks (a page not on a secure origin) each tab reads its own.
const shown = {};
const displays = "BroadcastChannel" in window ? new BroadcastChannel("veltra-display") : null;
let leading = false;
function showDisplay(d) {
  shown[d.register] = d;
  if (d.register === current) $("display").textContent = d.text.trim();
}
if (displays) displays.onmessage = (ev) => {
  if (!ev.data.hello) { showDisplay(ev.data); return; }
  if (leading) for (const d of Object.values(shown)) displays.postMessage(d);
};
function watchDisplay() {
  const d = shown[current];
  $("display").textContent = d ? d.text.trim() : "";
}
async function readDisplays() {
  for (;;) {
    const abort = displayAbort = new AbortController();
    try {
      const r = await fetch("/api/v1/display", { headers: headers(), signal: abort.signal });
      if (r.ok) {
        const reader = r.body.getReader(), dec = new TextDecoder();
        let buf = "";
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          buf += dec.decode(value, { stream: true });
          let at;
          while ((at = buf.indexOf("\n\n")) >= 0) {
            const event = buf.slice(0, at); buf = buf.slice(at + 2);
            for (const line of event.split("\n")) {
              if (!line.startsWith("data: ")) continue;
              const d = JSON.parse(line.slice(6));
              showDisplay(d);
              if (displays) displays.postMessage(d);
            }
          }
        }
      }
    } catch (e) { /* dropped: read again shortly, with the token as it is then */ }
    await new Promise((ok) => setTimeout(ok, 1000));
  }
}
if (displays && navigator.locks) {
  displays.postMessage({ hello: true });
  navigator.locks.request("veltra-display", () => { leading = true; return readDisplays(); });
} else {
  readDisplays();
}
$("refresh").onclick = () => load(current);
keypad(); load();
</script></body></html>
)PAGE";
    return page;
}

}  // namespace veltra::tool::serve
