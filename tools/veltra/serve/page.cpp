// The page: the registers and their state, the tables down and up, and the
// keypad with its display line (keys through /keys, the display through
// /display read as a stream, so that the token can travel in a header).
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
#status{font-family:monospace;font-size:12px;max-height:320px;overflow:auto;white-space:pre}
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
<h2>Stato</h2><div id="status"></div></section>
<section><h2>Tabelle</h2>
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
<h2>Backup</h2><p><button id="get-backup">salva backup</button></p>
<div id="message"></div></section>
<section><h2>Tastiera</h2><div id="display"></div><div id="keypad"></div></section>
</main>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
let current = null, displayAbort = null;
$("token").value = sessionStorage.getItem("veltra-token") || "";
$("token").onchange = () => { sessionStorage.setItem("veltra-token", $("token").value); load(); };
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
async function load() {
  try {
    const d = await api("/api/v1/registers");
    const tb = $("registers").tBodies[0]; tb.innerHTML = "";
    for (const r of d.registers) {
      const tr = tb.insertRow(); tr.dataset.id = r.id;
      tr.insertCell().textContent = r.id; tr.insertCell().textContent = r.host;
      const st = tr.insertCell();
      st.textContent = r.reachable ? "raggiungibile" + (r.state ? " (" + r.state + ")" : "") : "non raggiungibile";
      st.className = r.reachable ? "ok" : "bad";
      tr.onclick = () => select(r.id);
    }
    if (!current && d.registers.length) select(d.registers[0].id); else mark();
  } catch (e) { say(e.message, false); }
}
function mark() { for (const tr of $("registers").tBodies[0].rows) tr.className = tr.dataset.id === current ? "sel" : ""; }
async function select(id) {
  current = id; mark(); $("who").textContent = id;
  watchDisplay();
  try {
    const s = await api(base() + "/status");
    const r = s.result || {};
    let text = "";
    for (const [k, v] of Object.entries(r)) if (typeof v !== "object") text += k + ": " + v + "\n";
    for (const f of (r.info || [])) text += f.name + " = " + f.value + "\n";
    $("status").textContent = text;
  } catch (e) { $("status").textContent = e.message; }
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
async function put(query) {
  const f = $("put-file").files[0];
  if (!f) { say("scegli un file CSV", false); return null; }
  return api(base() + "/tables/" + $("put-table").value + query,
             { method: "PUT", body: await f.text(), headers: { "Content-Type": "text/csv" } });
}
function changes(r) { return r.applied + " righe valide, " + r.changed + " record cambiano, " + r.reset + " tornano ai valori iniziali"; }
$("put-check").onclick = async () => { try { const j = await put("?dry_run=1"); if (j) say("prova: " + changes(j.result), true); } catch (e) { say(e.message, false); } };
$("put-send").onclick = async () => {
  try {
    const j = await put("?dry_run=1"); if (!j) return;
    if (!confirm("Caricare? " + changes(j.result))) return;
    const k = await put("?confirm=1"); say("caricato: " + k.result.count + " righe (job " + k.id + ")", true);
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
async function watchDisplay() {
  if (displayAbort) displayAbort.abort();
  const abort = displayAbort = new AbortController();
  const id = current;
  while (!abort.signal.aborted && id === current) {
    try {
      const r = await fetch(base() + "/display", { headers: headers(), signal: abort.signal });
      const reader = r.body.getReader(), dec = new TextDecoder();
      let buf = "";
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buf += dec.decode(value, { stream: true });
        let at;
        while ((at = buf.indexOf("\n\n")) >= 0) {
          const event = buf.slice(0, at); buf = buf.slice(at + 2);
          for (const line of event.split("\n"))
            if (line.startsWith("data: ")) $("display").textContent = JSON.parse(line.slice(6)).text.trim();
        }
      }
    } catch (e) { if (abort.signal.aborted) return; }
    await new Promise((ok) => setTimeout(ok, 1000));
  }
}
$("refresh").onclick = load;
keypad(); load();
</script></body></html>
)PAGE";
    return page;
}

}  // namespace veltra::tool::serve
