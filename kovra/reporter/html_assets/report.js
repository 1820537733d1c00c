
(function () {
  "use strict";
  // Report text is untrusted: it reaches the page through textContent only.
  var D = JSON.parse(document.getElementById("report-data").textContent);
  // On the server the page starts with a few rows and fetches the others as
  // the tree opens; a file page holds every node.
  var REMOTE = D.remote || null;
  var NODES = D.nodes || [], TYPES = D.types || [], RESULTS = D.results || [];
  var COUNT = NODES.length;
  var CHUNK = 200;          // children rendered at a time under one node
  var OPEN_BUDGET = 1500;   // rows that opening paths automatically may render
  var KNOWN = { passed: 1, failed: 1, errored: 1, aborted: 1, blocked: 1, skipped: 1, passx: 1 };
  var WORST_FIRST = ["errored", "aborted", "failed", "blocked", "passx", "passed", "skipped"];
  var PROBLEM = {};
  D.problems.forEach(function (r) { PROBLEM[r] = true; });

  // Parent, children, and which nodes fail or lead to a failure.
  var kids = [], roots = [];
  var bad = [];        // 1: fails itself, 2: a descendant fails
  var i;
  for (i = 0; i < COUNT; i++) {
    var p = NODES[i][0];
    if (p < 0) roots.push(i); else (kids[p] || (kids[p] = [])).push(i);
  }
  for (i = COUNT - 1; i >= 0; i--) {
    bad[i] = (bad[i] || 0) | (PROBLEM[resultOf(i)] ? 1 : 0);
    var up = NODES[i][0];
    if (bad[i] && up >= 0) bad[up] = (bad[up] || 0) | 2;
  }
  // Remote rows: their server path, child count (children loaded when full), position and history mark.
  var byPath = {}, serverPath = [], kidCount = [], full = [], position = [], markOf = [], stepOf = [];
  // In a file's tree, as the server names them: a sibling that repeats an earlier one's id (compared as
  // JSON text) is {id, position}, its position its place among all its parent's children.
  if (!REMOTE) [roots].concat(kids).forEach(function (list) {
    var seen = {};
    (list || []).forEach(function (n, at) {
      var key = JSON.stringify(NODES[n][2]);
      position[n] = at;
      if (seen[key]) stepOf[n] = { id: String(NODES[n][2]), position: at };
      seen[key] = true;
    });
  });
  function intern(list, text) {
    var at = list.indexOf(text);
    if (at < 0) { list.push(text); at = list.length - 1; }
    return at;
  }
  // A server row: [path, parent path, position, type, id, name, result, run time, description, info,
  // child count, failing flags, mark].
  function addRow(r) {
    var have = byPath[r[0]];
    if (have !== undefined) return have;
    var parent = r[1] === null ? -1 : byPath[r[1]];
    if (parent === undefined) return -1;
    var n = NODES.length;
    NODES.push([parent, intern(TYPES, r[3]), r[4], r[5], r[6] === null ? -1 : intern(RESULTS, r[6]), r[7], r[8], r[9]]);
    COUNT = NODES.length;
    byPath[r[0]] = n;
    serverPath[n] = r[0];
    position[n] = r[2];
    // A sibling that repeats an earlier one's id is named by its position among them too.
    if (r[0].indexOf('"position":') >= 0) {
      var last = JSON.parse(r[0]).pop();
      if (last !== null && typeof last === "object") stepOf[n] = last;
    }
    kidCount[n] = r[10];
    bad[n] = r[11];
    markOf[n] = r[12];
    var list = parent < 0 ? roots : (kids[parent] || (kids[parent] = []));
    var at = list.length;
    while (at > 0 && position[list[at - 1]] > r[2]) at--;
    list.splice(at, 0, n);
    return n;
  }
  function hasKids(n) { return REMOTE ? kidCount[n] > 0 : !!(kids[n] && kids[n].length); }
  // Fetches every child of the given server paths ("" for the top), then calls done.
  function load(paths, done) {
    var want = paths.filter(function (pp) { return pp === "" ? !full.top : !full[byPath[pp]]; });
    if (!want.length) { done(); return; }
    var query = want.map(function (pp) { return "parent=" + encodeURIComponent(pp); }).join("&");
    fetchJSON(REMOTE.rows + "?" + query, function (reply) {
      reply.rows.forEach(addRow);
      want.forEach(function (pp) { if (pp === "") full.top = true; else if (byPath[pp] !== undefined) full[byPath[pp]] = true; });
      done();
    });
  }
  function fetchJSON(url, done) {
    fetch(url, { credentials: "same-origin", headers: { Accept: "application/json" } }).then(function (r) {
      if (!r.ok) throw new Error(r.status + " " + r.statusText);
      return r.json();
    }).then(done).catch(function (e) { showTrouble(url, e); });
  }
  function showTrouble(url, e) {
    var box = document.getElementById("trouble");
    if (box) { box.hidden = false; box.textContent = visible("Could not load " + url + ": " + e.message); }
  }
  if (REMOTE) {
    full.top = true;
    D.rows.forEach(addRow);
    (D.full || []).forEach(function (pp) { if (byPath[pp] !== undefined) full[byPath[pp]] = true; });
  }

  function resultOf(n) { var r = NODES[n][4]; return r < 0 ? null : RESULTS[r]; }
  function typeOf(n) { return TYPES[NODES[n][1]]; }
  function infoOf(n) { return NODES[n][7] || {}; }
  function parentOf(n) { return NODES[n][0]; }

  // Console control characters shown as the escapes engineers know (\x1b),
  // since few fonts have the Control Pictures.
  var CTL = /[\u0000-\u0008\u000b-\u001f\u007f]/g;
  function visible(s) {
    return String(s).replace(CTL, function (c) {
      return "\\x" + (c.charCodeAt(0) < 16 ? "0" : "") + c.charCodeAt(0).toString(16);
    });
  }
  // Short places (header, detail lines, rows) show the head of a very long text.
  function clamp(s, limit) {
    s = String(s);
    return s.length > limit ? s.slice(0, limit) + " \u2026 [" + (s.length - limit) + " more characters]" : s;
  }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = visible(text);
    return e;
  }
  function resultClass(r) { return "r-" + (KNOWN[r] ? r : "other"); }
  function badge(r) {
    return r ? el("span", "badge " + resultClass(r), r) : el("span", "badge none", "\u2014");
  }
  function duration(s) {
    if (typeof s !== "number") return "";
    if (s < 0.001) return (s * 1e6).toFixed(0) + " \u00b5s";
    if (s < 1) return (s * 1000).toFixed(1) + " ms";
    if (s < 60) return s.toFixed(2) + " s";
    // Rounded before it is split, so that 299.7 s reads "5 m 00 s", not "4 m 60 s".
    var whole = Math.round(s), m = Math.floor(whole / 60), h = Math.floor(m / 60);
    if (h) return h + " h " + String(m % 60).padStart(2, "0") + " m";
    return m + " m " + String(whole % 60).padStart(2, "0") + " s";
  }
  function pretty(v) { return typeof v === "string" ? v : JSON.stringify(v, null, 2); }
  // Stored times carry their microseconds only when these are not zero: shown, they always have six digits.
  var STAMP = /^(\d{4}-\d\d-\d\d[ T]\d\d:\d\d:\d\d)(?:\.(\d+))?(.*)$/;
  function stamp(v) {
    var m = typeof v === "string" ? STAMP.exec(v) : null;
    return m ? m[1] + "." + ((m[2] || "") + "000000").slice(0, 6) + m[3] : v;
  }
  function path(n) {
    var ids = [];
    for (; n >= 0; n = parentOf(n)) ids.unshift(NODES[n][2]);
    return ids;
  }
  // The steps that reach the node: its path, with a sibling that repeats an id as {id, position}.
  function idsOf(n) {
    var ids = [];
    for (; n >= 0; n = parentOf(n)) ids.unshift(stepOf[n] || NODES[n][2]);
    return ids;
  }
  // A step {id, position} is "ID;POSITION": the id is encoded, so its own ";" never stands bare.
  function fragment(ids) {
    return "#node=" + ids.map(function (x) {
      return x !== null && typeof x === "object" ? encodeURIComponent(String(x.id)) + ";" + x.position
        : encodeURIComponent(x);
    }).join("/");
  }
  function parseFragment(hash) {
    if (hash.indexOf("#node=") !== 0) return null;
    try {
      return hash.slice(6).split("/").map(function (x) {
        var at = x.indexOf(";");
        if (at < 0) return decodeURIComponent(x);
        return { id: decodeURIComponent(x.slice(0, at)), position: parseInt(x.slice(at + 1), 10) };
      });
    } catch (e) { return null; }
  }
  function isStep(n, want) {
    if (want !== null && typeof want === "object")
      return stepOf[n] !== undefined && position[n] === want.position && String(NODES[n][2]) === want.id;
    return stepOf[n] === undefined && NODES[n][2] === want;
  }
  function findIds(ids) {
    var list = roots, n = -1;
    for (var k = 0; k < ids.length; k++) {
      var next = -1;
      for (var j = 0; list && j < list.length; j++) if (isStep(list[j], ids[k])) { next = list[j]; break; }
      if (next < 0) return -1;
      n = next;
      list = kids[n];
    }
    return n;
  }
  // Opens the node at this id path, fetching its ancestors' children first on the server.
  function revealIds(ids) {
    var n = findIds(ids);
    if (!REMOTE) { if (n >= 0) reveal(n); return; }
    var up = n;
    while (up >= 0 && (parentOf(up) < 0 ? full.top : full[parentOf(up)])) up = parentOf(up);
    if (n >= 0 && up < 0) { reveal(n); return; }
    // The server sends the children of every node along the path.
    fetchJSON(REMOTE.rows + "?open=" + encodeURIComponent(JSON.stringify(ids)), function (reply) {
      reply.rows.forEach(addRow);
      reply.rows.forEach(function (r) {
        if (r[1] === null) full.top = true; else if (byPath[r[1]] !== undefined) full[byPath[r[1]]] = true;
      });
      var m = findIds(ids);
      if (m >= 0) reveal(m);
    });
  }
  // A path as text: a sibling that repeats an id is "ID;POSITION", as the command line prints it.
  function dottedIds(ids) {
    return ids.map(function (x) {
      return x !== null && typeof x === "object" ? x.id + ";" + x.position : x;
    }).join(".");
  }
  function link(ids, text) {
    var a = el("a", "jump");
    // A dotted path may wrap after each dot, between its names, before it breaks inside one.
    var names = visible(text).split(".");
    names.forEach(function (name, k) {
      a.appendChild(document.createTextNode(k < names.length - 1 ? name + "." : name));
      if (k < names.length - 1) a.appendChild(document.createElement("wbr"));
    });
    a.href = fragment(ids);
    a.addEventListener("click", function (e) { e.preventDefault(); revealIds(ids); });
    return a;
  }
  function reasonOf(info) {
    if (info.reason !== undefined) return info.reason;
    return info.extra && typeof info.extra.reason === "string" ? info.extra.reason : null;
  }
  var MARKS = { "new": "new failure", failing: "failing", flaky: "flaky" };
  function markBadge(mark) {
    var m = el("span", "mark mark-" + mark, MARKS[mark] || mark);
    m.title = mark === "new" ? "failed in this job only, after passing in the earlier jobs of this name"
      : mark === "failing" ? "failed in this job and the jobs of this name just before it"
      : "changed between pass and fail twice or more in the last jobs of this name";
    return m;
  }
  function countsOf(summary) {
    var out = [];
    if (!summary) return out;
    Object.keys(summary).forEach(function (k) {
      if (k !== "total" && k !== "success_rate" && k !== "weight" && typeof summary[k] === "number" && summary[k]) {
        out.push([k, summary[k]]);
      }
    });
    return out;
  }
  function countsText(summary) {
    return countsOf(summary).map(function (c) { return c[1] + " " + c[0]; }).join(", ");
  }

  // ---- header
  var idBox = document.getElementById("job-id");
  idBox.textContent = visible(D.job_id);
  var facts = document.getElementById("facts");
  D.header.forEach(function (f) {
    if (f[1] === "id") return;
    var box = el("div");
    box.appendChild(el("dt", null, f[0]));
    var value = f[1] === "runtime" && typeof f[2] === "number" ? duration(f[2])
      : f[1] === "starttime" || f[1] === "stoptime" ? stamp(pretty(f[2])) : pretty(f[2]);
    box.appendChild(el("dd", f[1] === "cli" ? "mono" : null, clamp(value, 300)));
    facts.appendChild(box);
  });

  // ---- summary
  var summary = document.getElementById("summary");
  function countsTable(counts, total) {
    var table = el("table");
    var head = el("tr");
    head.appendChild(el("th", null, "Result"));
    head.appendChild(el("th", "num", "Count"));
    head.appendChild(el("th", "num", "Share"));
    table.appendChild(head);
    counts.forEach(function (c) {
      var tr = el("tr");
      var name = el("td");
      name.appendChild(el("span", "swatch " + resultClass(c[0])));
      name.appendChild(document.createTextNode(visible(c[0])));
      tr.appendChild(name);
      tr.appendChild(el("td", "num", String(c[1])));
      tr.appendChild(el("td", "num", total ? (100 * c[1] / total).toFixed(1) + " %" : ""));
      table.appendChild(tr);
    });
    return table;
  }
  function bar(counts, label) {
    var b = el("div", "bar");
    b.setAttribute("role", "img");
    b.setAttribute("aria-label", label);
    counts.forEach(function (c) {
      var s = el("span", resultClass(c[0]));
      s.style.flexGrow = String(c[1]);
      s.title = c[0] + ": " + c[1];
      b.appendChild(s);
    });
    return b;
  }
  function card(title) {
    var c = el("div", "card");
    c.appendChild(el("h2", null, title));
    summary.appendChild(c);
    return c;
  }
  (function () {
    var s = D.summary || {};
    var counts = countsOf(s);
    var total = typeof s.total === "number" ? s.total : counts.reduce(function (a, c) { return a + c[1]; }, 0);
    var c = card("Test cases");
    c.id = "results-card";
    var running = REMOTE && REMOTE.running;
    var big = el("div", "big", (typeof s.success_rate === "number" && total ? s.success_rate.toFixed(2) : "\u2014") + " %");
    big.id = "success-rate";
    c.appendChild(big);
    c.appendChild(el("div", "note", "success rate (passed or passx) of " + total + " test cases " +
      (running ? "finished so far; the job is still running" : "(sections directly under a task)") +
      (typeof s.weight === "number" ? ", " + (100 * s.weight).toFixed(0) + " % of planned tasks ran" : "")));
    if (counts.length) c.appendChild(bar(counts, countsText(s)));
    var t = countsTable(counts, total);
    t.id = "result-counts";
    c.appendChild(t);
  })();
  (function () {
    var c = card("Health");
    var counts = countsOf(D.hsum);
    c.appendChild(el("p", null, "Health result (from the health data given at stop): "));
    if (counts.length) c.lastChild.appendChild(badge(D.health));
    else c.lastChild.appendChild(document.createTextNode("no health data"));
    if (counts.length) {
      c.appendChild(el("p", "note", "Health entries:"));
      c.appendChild(bar(counts, countsText(D.hsum)));
      c.appendChild(countsTable(counts, D.hsum.total));
    } else {
      c.appendChild(el("p", "note", "No health counts recorded."));
    }
  })();
  (function () {
    var c = card("Job plugins");
    var counts = countsOf(D.plugins);
    if (counts.length) c.appendChild(el("p", null, "Sections run in job plugins: " + countsText(D.plugins)));
    var list = el("ol", "slow");
    roots.forEach(function (n) {
      if (typeOf(n) !== "Plugin") return;
      var li = el("li");
      li.appendChild(badge(resultOf(n)));
      li.appendChild(document.createTextNode(" "));
      li.appendChild(jump(n, NODES[n][2]));
      list.appendChild(li);
    });
    if (list.firstChild) c.appendChild(list);
    if (!counts.length && !list.firstChild) c.appendChild(el("p", "note", "No plugins ran at job level."));
  })();
  (function () {
    // The server's grouping of the leaf failures by cause (signature), with each test's state.
    if (!REMOTE || !D.groups) return;
    var c = card("Failures by cause (" + D.groups.length + ")");
    c.id = "failure-groups";
    c.className += " wide";
    if (!D.groups.length) { c.appendChild(el("p", "note", "No test failed.")); return; }
    c.appendChild(el("p", "note", "Leaf failures whose reasons read the same once numbers, addresses, times " +
      "and quoted strings are set aside; most first."));
    D.groups.forEach(function (g) {
      var box = el("details", "group");
      var head = el("summary");
      head.appendChild(el("span", "count", g[2] + " \u00d7 "));
      head.appendChild(el("span", "mono", clamp(g[1] || "", 300)));
      var states = Object.keys(g[3]).sort().map(function (k) { return g[3][k] + " " + (MARKS[k] || k); });
      var facts = [states.join(", ")];
      if (g[4]) facts.push("known issue: " + g[4]);
      if (g[5].length) facts.push("owners: " + g[5].join(" "));
      facts.push("first seen " + g[6] + " (" + g[7] + " job" + (g[7] === 1 ? "" : "s") + ")");
      head.appendChild(el("span", "note group-facts", " \u2014 " + facts.join("; ")));
      box.appendChild(head);
      var more = el("a", null, "all jobs with this cause");
      more.href = "/signatures/" + encodeURIComponent(g[0]);
      var p = el("p");
      p.appendChild(more);
      box.appendChild(p);
      var table = el("table");
      var row = el("tr");
      ["Path", "Result", "State", "Reason"].forEach(function (t) { row.appendChild(el("th", null, t)); });
      table.appendChild(row);
      g[8].forEach(function (f) {
        var tr = el("tr");
        var where = el("td", "path");
        where.appendChild(link(f[0], clamp(dottedIds(f[0]), 300)));
        tr.appendChild(where);
        var r = el("td");
        r.appendChild(badge(f[1]));
        if (f[5]) r.appendChild(el("span", "note", " muted"));
        tr.appendChild(r);
        tr.appendChild(el("td", "note", f[4] || ""));
        tr.appendChild(el("td", "reason-text", f[2] === null || f[2] === undefined ? "" : clamp(pretty(f[2]).split("\n")[0], 300)));
        table.appendChild(tr);
      });
      box.appendChild(table);
      if (g[2] > g[8].length) box.appendChild(el("p", "note", "The first " + g[8].length + " of " + g[2] + " are listed."));
      c.appendChild(box);
    });
  })();
  (function () {
    // Failures that none of their own children explain: where a reader starts.
    var list = [], total = 0, LIMIT = 200;
    if (REMOTE) {
      list = D.failures;
      total = D.failure_total;
    } else {
      for (var n = 0; n < COUNT; n++) {
        if (bad[n] !== 1) continue;
        total++;
        if (list.length < LIMIT) list.push([path(n), resultOf(n), reasonOf(infoOf(n)), null]);
      }
    }
    var c = card("Failures (" + total + ")");
    c.id = "failures-card";
    c.className += " wide";
    if (!total) { c.appendChild(el("p", "note", "No node failed.")); return; }
    c.appendChild(el("p", "note", "Failing nodes with no failing node beneath them" +
      (total > list.length ? "; the first " + list.length + " are listed" : "") + "."));
    var table = el("table");
    table.id = "failure-list";
    var head = el("tr");
    ["Path", "Result", "Reason"].forEach(function (t) { head.appendChild(el("th", null, t)); });
    table.appendChild(head);
    list.forEach(function (f) {
      var tr = el("tr");
      var where = el("td");
      where.appendChild(link(f[0], clamp(dottedIds(f[0]), 300)));
      tr.appendChild(where);
      var r = el("td");
      r.appendChild(badge(f[1]));
      if (f[3]) { r.appendChild(document.createTextNode(" ")); r.appendChild(markBadge(f[3])); }
      tr.appendChild(r);
      tr.appendChild(el("td", "reason-text", f[2] === null || f[2] === undefined ? "" : clamp(pretty(f[2]).split("\n")[0], 300)));
      table.appendChild(tr);
    });
    c.appendChild(table);
  })();
  (function () {
    var c = card("Slowest sections");
    c.className += " wide";
    if (REMOTE) {
      if (!D.slowest.length) { c.appendChild(el("p", "note", "No timed sections.")); return; }
      var t2 = el("table");
      D.slowest.forEach(function (s) {
        var tr = el("tr");
        var where = el("td");
        where.appendChild(link(s[0], clamp(dottedIds(s[0]), 300)));
        tr.appendChild(where);
        var r = el("td");
        r.appendChild(badge(s[1]));
        tr.appendChild(r);
        tr.appendChild(el("td", "num", duration(s[2])));
        t2.appendChild(tr);
      });
      c.appendChild(t2);
      return;
    }
    var top = [];
    for (var n = 0; n < COUNT; n++) {
      var t = NODES[n][5], kind = typeOf(n);
      if (typeof t !== "number" || kind === "Task" || kind === "Plugin") continue;
      if (top.length < 10 || t > NODES[top[top.length - 1]][5]) {
        top.push(n);
        top.sort(function (a, b) { return NODES[b][5] - NODES[a][5]; });
        if (top.length > 10) top.pop();
      }
    }
    if (!top.length) { c.appendChild(el("p", "note", "No timed sections.")); return; }
    var table = el("table");
    top.forEach(function (n) {
      var tr = el("tr");
      var where = el("td");
      where.appendChild(jump(n, clamp(path(n).join("."), 300)));
      tr.appendChild(where);
      var r = el("td");
      r.appendChild(badge(resultOf(n)));
      tr.appendChild(r);
      tr.appendChild(el("td", "num", duration(NODES[n][5])));
      table.appendChild(tr);
    });
    c.appendChild(table);
  })();

  function jump(n, text) {
    var b = el("button", "jump", text);
    b.type = "button";
    b.addEventListener("click", function () { reveal(n); });
    return b;
  }

  // ---- tree
  var tree = document.getElementById("tree");
  var detail = document.getElementById("detail");
  var filterBox = document.getElementById("filter");
  var searchBox = document.getElementById("search");
  var matchCount = document.getElementById("match-count");
  var liOf = new Array(COUNT);
  var expanded = [];
  var keep = null;          // when filtering: 1 matches, 2 leads to a match
  var selected = -1;
  var budget = 0;

  function shownKids(n) {
    var list = n < 0 ? roots : kids[n];
    if (!list) return [];
    return keep ? list.filter(function (k) { return keep[k]; }) : list;
  }
  function makeRow(n) {
    var node = NODES[n];
    var li = el("li");
    li.setAttribute("role", "treeitem");
    li.tabIndex = -1;
    li.nodeIndex = n;
    li.setAttribute("aria-level", String(idsOf(n).length));
    if (keep ? shownKids(n).length : hasKids(n)) li.setAttribute("aria-expanded", "false");
    li.setAttribute("aria-selected", n === selected ? "true" : "false");
    var row = el("div", "row");
    row.appendChild(el("span", "twisty"));
    var kind = typeOf(n);
    if (kind === "Task") {
      // A task has no result of its own: its badge is the worst of its sections'.
      var task = infoOf(n).summary || {};
      var worst = null;
      for (var w = 0; w < WORST_FIRST.length && !worst; w++) if (task[WORST_FIRST[w]]) worst = WORST_FIRST[w];
      var b = badge(worst);
      b.title = countsText(task) || "no results";
      row.appendChild(b);
    } else {
      row.appendChild(badge(resultOf(n)));
    }
    if (markOf[n]) row.appendChild(markBadge(markOf[n]));
    row.appendChild(el("span", "kind", kind));
    row.appendChild(el("span", "id", node[2].slice(0, 300)));
    if (node[3] !== null) row.appendChild(el("span", "name", node[3].slice(0, 300)));
    var desc = node[6] !== null ? node[6].split("\n")[0] : "";
    if (kind === "Task") desc = countsText(infoOf(n).summary) + (desc ? " \u00b7 " + desc : "");
    row.appendChild(el("span", "desc", desc.slice(0, 300)));
    row.appendChild(el("span", "time", duration(node[5])));
    li.appendChild(row);
    liOf[n] = li;
    budget--;
    return li;
  }
  function renderChildren(n, ul, from) {
    var list = shownKids(n);
    var end = Math.min(list.length, from + CHUNK);
    var frag = document.createDocumentFragment();
    for (var k = from; k < end; k++) frag.appendChild(makeRow(list[k]));
    if (end < list.length) {
      var more = el("li", "more");
      // Not an item of the tree: a way to draw more of them.
      more.setAttribute("role", "none");
      var btn = el("button", "tool", "Show " + Math.min(CHUNK, list.length - end) + " more of " + (list.length - end));
      btn.type = "button";
      btn.addEventListener("click", function () {
        ul.removeChild(more);
        renderChildren(n, ul, end);
      });
      more.appendChild(btn);
      frag.appendChild(more);
    }
    ul.appendChild(frag);
  }
  function expand(n, then) {
    var li = liOf[n];
    if (REMOTE && !keep && li && !expanded[n] && hasKids(n) && !full[n]) {
      li.setAttribute("aria-busy", "true");
      load([serverPath[n]], function () {
        li.removeAttribute("aria-busy");
        if (liOf[n] === li) expand(n, then);
      });
      return;
    }
    if (!li || expanded[n] || !shownKids(n).length) { if (then) then(); return; }
    expanded[n] = 1;
    li.setAttribute("aria-expanded", "true");
    var ul = el("ul");
    ul.setAttribute("role", "group");
    renderChildren(n, ul, 0);
    li.appendChild(ul);
    if (then) then();
  }
  function collapse(n) {
    var li = liOf[n];
    if (!li || !expanded[n]) return;
    expanded[n] = 0;
    li.setAttribute("aria-expanded", "false");
    var ul = li.querySelector(":scope > ul");
    if (ul) {
      // Rows under it leave the page; forget them so they are built afresh.
      forget(n);
      li.removeChild(ul);
    }
  }
  function forget(n) {
    var list = kids[n];
    if (!list) return;
    for (var k = 0; k < list.length; k++) {
      var c = list[k];
      if (liOf[c]) { liOf[c] = undefined; if (expanded[c]) { expanded[c] = 0; forget(c); } }
    }
  }
  // Opens every rendered path whose mark matches, within the row budget.
  function openPaths(n, mark) {
    var list = shownKids(n);
    for (var k = 0; k < list.length && budget > 0; k++) {
      var c = list[k];
      if (!(mark(c)) || !liOf[c]) continue;
      // On the server a node's children may arrive later: go on below it once they have.
      expand(c, openPaths.bind(null, c, mark));
    }
  }
  function buildTree() {
    tree.textContent = "";
    liOf = new Array(COUNT);
    expanded = [];
    budget = OPEN_BUDGET;
    var list = shownKids(-1);
    if (!list.length) {
      tree.appendChild(el("li", "empty", keep ? "Nothing matches." : "The report holds no tasks."));
      return;
    }
    renderChildren(-1, tree, 0);
    if (keep) openPaths(-1, function (c) { return keep[c] & 2; });
    else openPaths(-1, function (c) { return bad[c] & 2; });
    var first = tree.querySelector("li[role=treeitem]");
    if (selected >= 0 && liOf[selected]) liOf[selected].tabIndex = 0;
    else if (first) first.tabIndex = 0;
  }

  // Makes sure node n has a row: opens its ancestors, rendering further chunks as needed.
  function ensureRow(n) {
    if (liOf[n]) return true;
    var owner = parentOf(n);
    if (owner >= 0) {
      if (!ensureRow(owner)) return false;
      expand(owner);
    }
    var ul = owner < 0 ? tree : liOf[owner].querySelector(":scope > ul");
    while (ul && !liOf[n]) {
      var more = ul.querySelector(":scope > li.more button");
      if (!more) break;
      more.click();
    }
    return !!liOf[n];
  }
  function reveal(n) {
    if (keep && !keep[n]) { filterBox.value = ""; searchBox.value = ""; keep = null; matchCount.textContent = ""; buildTree(); }
    if (!ensureRow(n)) return;
    select(n);
    focusRow(liOf[n]);
    liOf[n].scrollIntoView({ block: "center" });
  }

  function focusRow(li) {
    var old = tree.querySelectorAll("li[tabindex='0']");
    for (var k = 0; k < old.length; k++) old[k].tabIndex = -1;
    li.tabIndex = 0;
    li.focus({ preventScroll: false });
  }

  function select(n) {
    if (selected >= 0 && liOf[selected]) liOf[selected].setAttribute("aria-selected", "false");
    selected = n;
    if (liOf[n]) liOf[n].setAttribute("aria-selected", "true");
    showDetail(n);
    // The address names the node, so it can be copied and opened again.
    var want = fragment(idsOf(n));
    if (location.hash !== want) {
      try { history.replaceState(null, "", want); } catch (e) { /* a page without history keeps its address */ }
    }
  }

  // ---- detail of one node
  function field(dl, label, value, cls) {
    if (value === undefined || value === null || value === "") return;
    dl.appendChild(el("dt", null, label));
    var dd = el("dd", cls);
    if (value instanceof Node) dd.appendChild(value); else dd.textContent = visible(clamp(value, 2000));
    dl.appendChild(dd);
  }
  function block(title, value, cls) {
    var frag = document.createDocumentFragment();
    frag.appendChild(el("h3", null, title));
    frag.appendChild(el("pre", "box" + (cls ? " " + cls : ""), pretty(value)));
    return frag;
  }
  var LOG_STATES = {
    unknown: "The size of this stretch is unknown (the log file changed while the node ran).",
    empty: "The node wrote nothing to its log.",
    missing: "The log file was not found beside the stored report.",
    beyond: "The log file beside the report is shorter than where this stretch begins.",
    invalid: "The log record is incomplete.",
    budget: "Not embedded: the page's budget for log text went to other nodes first."
  };
  function logStretch(log, logs) {
    var frag = document.createDocumentFragment();
    frag.appendChild(el("h3", null, "Log stretch"));
    if (REMOTE && logs && typeof logs.file === "string" && logs.size > 0) return remoteStretch(logs, frag);
    if (!log || log.state !== "ok") {
      frag.appendChild(el("p", "note", LOG_STATES[log && log.state] || "No log stretch."));
      return frag;
    }
    var file = D.logfiles[log.f];
    var pre = el("pre", "box log");
    pre.id = "log-stretch";
    log.parts.forEach(function (part, k) {
      if (k > 0) {
        var cutBytes = logs.size - D.limits.stretch;
        pre.appendChild(el("span", "cut", "\n[\u2026 " + cutBytes + " bytes left out \u2026]\n"));
      }
      var text = file.chunks[part[0]][1].substr(part[1], part[2]);
      pre.appendChild(document.createTextNode(visible(text.replace(/\r\n/g, "\n"))));
    });
    if (log.short) pre.appendChild(el("span", "cut", "\n[the file ends " + log.short + " bytes before this stretch does]"));
    frag.appendChild(pre);
    return frag;
  }
  // The server sends a stretch's head and tail when it is long, as the file page embeds them.
  function remoteStretch(logs, frag) {
    var pre = el("pre", "box log");
    pre.id = "log-stretch";
    pre.setAttribute("aria-busy", "true");
    frag.appendChild(pre);
    var limit = REMOTE.stretch, head = REMOTE.head;
    var spans = logs.size <= limit ? [[logs.begin, logs.begin + logs.size]]
      : [[logs.begin, logs.begin + head], [logs.begin + logs.size - (limit - head), logs.begin + logs.size]];
    var texts = [];
    spans.forEach(function (sp, k) {
      var url = REMOTE.logs + encodeURIComponent(logs.file) + "?start=" + sp[0] + "&stop=" + sp[1];
      fetch(url, { credentials: "same-origin" }).then(function (r) {
        if (!r.ok) throw new Error(r.status + " " + r.statusText);
        return r.text();
      }).then(function (text) {
        texts[k] = text;
        if (texts.filter(function (t) { return t !== undefined; }).length < spans.length) return;
        texts.forEach(function (t, j) {
          if (j > 0) pre.appendChild(el("span", "cut", "\n[\u2026 " + (logs.size - limit) + " bytes left out \u2026]\n"));
          pre.appendChild(document.createTextNode(visible(t.replace(/\r\n/g, "\n"))));
        });
        pre.removeAttribute("aria-busy");
      }).catch(function (e) { pre.removeAttribute("aria-busy"); pre.textContent = visible("The log could not be read: " + e.message); });
    });
    return frag;
  }
  function showDetail(n) {
    var node = NODES[n], info = infoOf(n);
    detail.textContent = "";
    var head = el("h2");
    head.appendChild(badge(resultOf(n)));
    head.appendChild(document.createTextNode(" " + visible(clamp(node[2], 300))));
    detail.appendChild(head);
    detail.appendChild(el("div", "path mono", clamp(path(n).join("."), 2000)));
    var dl = el("dl");
    field(dl, "Type", typeOf(n));
    field(dl, "Name", node[3]);
    field(dl, "Result", resultOf(n));
    field(dl, "Start", stamp(info.start));
    field(dl, "Stop", stamp(info.stop));
    field(dl, "Run time", duration(node[5]));
    // Every stopped node carries a health result; without health entries behind it, it says nothing.
    if (info.health) field(dl, "Health", info.hsum ? info.health : "no health data");
    if (info.summary) field(dl, "Results", countsText(info.summary) || "none");
    if (info.psum) field(dl, "Plugins", countsText(info.psum));
    if (info.hsum) field(dl, "Health counts", countsText(info.hsum));
    if (info.xref) field(dl, "Source", pretty(info.xref), "mono");
    if (info.logs) {
      var l = info.logs;
      if (l && typeof l === "object" && !Array.isArray(l) && typeof l.file === "string") {
        // The whole log: from the server, or the file beside this page.
        var whole = el("span");
        var fileLink = el("a", "jump", clamp(l.file, 300));
        fileLink.id = "log-file";
        fileLink.href = (REMOTE ? REMOTE.logs : "") + encodeURIComponent(l.file);
        whole.appendChild(fileLink);
        whole.appendChild(document.createTextNode(", from byte " + l.begin + ", " + l.size + " bytes"));
        field(dl, "Log", whole, "mono");
      } else {
        field(dl, "Log", pretty(l), "mono");
      }
    }
    var kidsList = kids[n];
    if (REMOTE ? kidCount[n] : kidsList) field(dl, "Children", String(REMOTE ? kidCount[n] : kidsList.length));
    if (REMOTE && resultOf(n)) {
      var hist = el("span");
      if (markOf[n]) { hist.appendChild(markBadge(markOf[n])); hist.appendChild(document.createTextNode(" ")); }
      var a = el("a", "jump", "results in earlier jobs");
      a.id = "history-link";
      // The dotted path where it is unambiguous, as people write it; else the stored one.
      var ids = idsOf(n);
      var plainIds = ids.every(function (x) { return typeof x === "string" && x.indexOf(".") < 0; }) &&
        ids[0].charAt(0) !== "[";
      a.href = REMOTE.history + encodeURIComponent(plainIds ? ids.join(".") : serverPath[n]);
      hist.appendChild(a);
      field(dl, "History", hist);
    }
    detail.appendChild(dl);
    if (info.reason !== undefined) detail.appendChild(block("Result reason", info.reason, "reason"));
    if (info.rdata !== undefined) detail.appendChild(block("Result data", info.rdata));
    if (node[6] !== null) detail.appendChild(block("Description", node[6]));
    if (info.details) detail.appendChild(block("Details", Array.isArray(info.details) ? info.details.map(pretty).join("\n") : info.details));
    if (info.parameters) detail.appendChild(block("Parameters", info.parameters));
    if (info.extra) detail.appendChild(block("Extra data", info.extra));
    if (info.more) detail.appendChild(block("Other fields", info.more));
    if (info.logs) detail.appendChild(logStretch(info.log, info.logs));
  }

  // ---- interaction
  tree.addEventListener("click", function (e) {
    var li = e.target.closest("li[role=treeitem]");
    if (!li || !tree.contains(li)) return;
    var n = li.nodeIndex;
    if (e.target.closest(".twisty")) {
      if (expanded[n]) collapse(n); else expand(n);
    } else {
      expand(n);
      select(n);
    }
    focusRow(li);
  });
  tree.addEventListener("keydown", function (e) {
    var li = e.target.closest("li[role=treeitem]");
    if (!li) return;
    var n = li.nodeIndex;
    var rows = Array.prototype.slice.call(tree.querySelectorAll("li[role=treeitem]"));
    var at = rows.indexOf(li);
    var go = null;
    switch (e.key) {
      case "ArrowDown": go = rows[at + 1]; break;
      case "ArrowUp": go = rows[at - 1]; break;
      case "Home": go = rows[0]; break;
      case "End": go = rows[rows.length - 1]; break;
      case "ArrowRight":
        if (!expanded[n]) expand(n);
        else go = li.querySelector(":scope > ul > li[role=treeitem]");
        break;
      case "ArrowLeft":
        if (expanded[n]) collapse(n);
        else if (parentOf(n) >= 0) go = liOf[parentOf(n)];
        break;
      case "Enter": case " ":
        select(n);
        if (!expanded[n]) expand(n);
        break;
      default: return;
    }
    e.preventDefault();
    if (go) { focusRow(go); go.scrollIntoView({ block: "nearest" }); }
  });

  // ---- filters and search
  (function () {
    function option(value, text) {
      var o = el("option", null, text);
      o.value = value;
      filterBox.appendChild(o);
    }
    var seen = {};
    if (REMOTE) seen = D.result_counts;
    else for (var n = 0; n < COUNT; n++) { var r = resultOf(n); if (r) seen[r] = (seen[r] || 0) + 1; }
    var problems = 0;
    Object.keys(seen).forEach(function (r) { if (PROBLEM[r]) problems += seen[r]; });
    option("", "all results");
    option("problems", "failed, errored, aborted or blocked nodes (" + problems + ")");
    Object.keys(seen).sort().forEach(function (r) { option("r:" + r, r + " (" + seen[r] + ")"); });
  })();
  var haystack = null, asked = 0;
  // A node the search leaves out of the tree leaves the detail pane too.
  function dropHidden() {
    if (selected < 0 || !keep || keep[selected]) return;
    if (liOf[selected]) liOf[selected].setAttribute("aria-selected", "false");
    selected = -1;
    detail.textContent = "";
    detail.appendChild(el("p", "hint", "The node shown here is not among the search's nodes; select one of them."));
  }
  // What a search reads of a node: id, name, description, reason and details.
  function searchText(n) {
    var nd = NODES[n], info = infoOf(n), reason = reasonOf(info);
    var details = info.details === undefined ? "" : Array.isArray(info.details) ? info.details.map(pretty).join("\n") : pretty(info.details);
    return (nd[2] + "\n" + (nd[3] || "") + "\n" + (nd[6] || "") + "\n" + (reason === null ? "" : pretty(reason)) +
      "\n" + details).toLowerCase();
  }
  function applyFilter() {
    var which = filterBox.value, query = searchBox.value.trim().toLowerCase();
    if (!which && !query) {
      asked++;
      keep = null;
      matchCount.textContent = "";
      buildTree();
      return;
    }
    if (REMOTE) {
      // The server searches every node; its reply brings the matches and the rows above them.
      var ticket = ++asked;
      matchCount.textContent = "searching\u2026";
      fetchJSON(REMOTE.rows + "?which=" + encodeURIComponent(which) + "&q=" + encodeURIComponent(query), function (reply) {
        if (ticket !== asked) return;
        reply.rows.forEach(addRow);
        keep = [];
        reply.hits.forEach(function (pp) {
          var n = byPath[pp];
          if (n === undefined) return;
          keep[n] |= 1;
          for (var a = parentOf(n); a >= 0 && !(keep[a] & 2); a = parentOf(a)) keep[a] |= 2;
        });
        var hits = reply.total;
        matchCount.textContent = hits + (hits === 1 ? " node matches" : " nodes match") +
          (reply.hits.length < hits ? " (the first " + reply.hits.length + " shown)" : "");
        buildTree();
        dropHidden();
      });
      return;
    }
    if (query && !haystack) {
      haystack = new Array(COUNT);
      for (var h = 0; h < COUNT; h++) haystack[h] = searchText(h);
    }
    keep = new Uint8Array(COUNT);
    var hits = 0;
    for (var n = 0; n < COUNT; n++) {
      var r = resultOf(n);
      if (which === "problems" ? !PROBLEM[r] : which && which !== "r:" + r) continue;
      if (query && haystack[n].indexOf(query) < 0) continue;
      hits++;
      keep[n] |= 1;
      for (var a = parentOf(n); a >= 0 && !(keep[a] & 2); a = parentOf(a)) keep[a] |= 2;
    }
    matchCount.textContent = hits + (hits === 1 ? " node matches" : " nodes match");
    buildTree();
    dropHidden();
  }
  var timer = 0;
  searchBox.addEventListener("input", function () {
    clearTimeout(timer);
    timer = setTimeout(applyFilter, 150);
  });
  filterBox.addEventListener("change", applyFilter);
  document.getElementById("collapse").addEventListener("click", function () {
    roots.forEach(function (n) { collapse(n); });
  });
  document.getElementById("open-failing").addEventListener("click", function () {
    budget = OPEN_BUDGET;
    openPaths(-1, function (c) { return bad[c] & 2; });
  });
  var SCHEMES = ["auto", "light", "dark"];
  var scheme = 0;
  var themeBtn = document.getElementById("theme");
  themeBtn.addEventListener("click", function () {
    scheme = (scheme + 1) % SCHEMES.length;
    if (scheme) document.documentElement.setAttribute("data-theme", SCHEMES[scheme]);
    else document.documentElement.removeAttribute("data-theme");
    themeBtn.textContent = "Scheme: " + SCHEMES[scheme];
  });

  buildTree();
  // A node named in the address opens; otherwise the first failure that none
  // of its own children explains is shown at once.
  var asked0 = parseFragment(location.hash);
  if (asked0) revealIds(asked0);
  else if (REMOTE && D.failures.length) revealIds(D.failures[0][0]);
  else for (i = 0; i < COUNT; i++) {
    if (bad[i] === 1 && liOf[i]) { select(i); break; }
  }
  window.addEventListener("hashchange", function () {
    var ids = parseFragment(location.hash);
    if (ids && !(selected >= 0 && fragment(idsOf(selected)) === fragment(ids))) revealIds(ids);
  });
  // A running job on the server reloads when a new snapshot arrives; the address keeps the open node.
  if (REMOTE && REMOTE.running) {
    var live = document.getElementById("live");
    if (live) { live.hidden = false; live.textContent = "Running: this page follows the job (snapshot " + REMOTE.snapshot + ")."; }
    setInterval(function () {
      fetchJSON(REMOTE.job, function (row) {
        if (row.snapshot !== REMOTE.snapshot || row.state !== "running") location.reload();
      });
    }, REMOTE.poll || 2000);
  }
  document.documentElement.setAttribute("data-ready", String(COUNT));
})();
