#!/usr/bin/python3
"""The unattended bench's helper (run.sh calls it).

    unattended.py truth DATA_DIR --band-down MBIT --band-up MBIT --line MBIT --grow-ms MS [--ran KINDS] [--user ID]
                        [--carried FILE] [--line-seconds FILE]
    unattended.py failing DATA_DIR [--ran KINDS]
    unattended.py tasks SETTINGS_XML OUT... --web URL --video URL --download URL
    unattended.py ku6-info VIDEO_SITES_XML HOST
    unattended.py stub PORT STREAM_URL
    unattended.py tray DISPLAY
    unattended.py memory PID [--proc DIR]

truth    one row per figure of the round's records, beside what the line or
         the page really did: PASS within the bench's limits on a record
         that is the user's automatic result. With --carried, the video and
         file download speeds are judged against what the line carried for
         their body, as the service reports it (its rate when it could keep
         it); with --line-seconds, the bandwidth figures against what each
         direction of the line carried, second by second, over the test
failing  every target of the round failed on purpose: a figure record is a
         FAIL, no record a PASS (when the test ran)
tasks    the settings document with exactly one target per test, all selected
ku6-info points ku6's information service at HOST (in place)
stub     a loopback server for the failing targets: /empty answers 204, and
         /fetch.htm is a ku6 information answer naming STREAM_URL
tray     exit 0 when a notification area owns DISPLAY's tray selection
memory   the program with all its helper processes (PID and every process
         below it): one line per process and a total, "N processes, PSS X MB,
         RSS Y MB" (PSS shares each page among the processes that map it, so
         the sum is what the tree really holds)

Records are read from the zip archives waiting for upload and from record
files not packed yet; the data folder is only read.
"""
import argparse
import http.server
import re
import sys
import zipfile
from pathlib import Path

RECORD_NAME = re.compile(r"^Pccollect_([a-z]+)_(\d{10})\.dat(\.\d+)?$")

# The figure each kind is judged by.
FIGURES = {"band": "bandwidth", "screen": "firstscreentime", "videospeed": "speed", "filedown": "speed"}
TEST_NAMES = {"band": "bandwidth", "screen": "web page", "videospeed": "video", "filedown": "file download"}
# The program's megabit and kilobyte are binary; lines are sold in 10^6 bits.
MB_BITS = 1 << 20
KB = 1024


def parse_record(data):
    """Fields of one record file (GBK bytes) in file order; None when the
    envelope is not whole."""
    lines = data.decode("gbk", errors="replace").replace("\r\n", "\n").split("\n")
    if not lines or lines[0] != "+++start+++" or "---end---" not in lines:
        return None
    fields = []
    for line in lines[1:lines.index("---end---")]:
        name, eq, value = line.partition("=")
        if eq:
            fields.append((name, value))
    return fields


def load_records(data_dir):
    """(source, kind, fields) for every record in the folder, by name."""
    found = []

    def add(source, name, data):
        m = RECORD_NAME.match(Path(name).name)
        if m:
            fields = parse_record(data)
            found.append((source, m.group(1) if fields is not None else "broken", fields or []))

    for path in sorted(Path(data_dir).iterdir()):
        if path.suffix == ".zip":
            try:
                with zipfile.ZipFile(path) as z:
                    for info in z.infolist():
                        add(path.name, info.filename, z.read(info))
            except zipfile.BadZipFile:
                found.append((path.name, "broken", []))
        elif path.is_file():
            add(path.name, path.name, path.read_bytes())
    return found


# The type of the bodies each kind's test fetches, as the service names it.
CARRIED_TYPES = {"videospeed": "video/", "filedown": "application/octet-stream"}


def parse_carried(text):
    """The service's carried bodies (GET /__control/carried), oldest first:
    [{field: value}]."""
    bodies = []
    for line in text.splitlines():
        fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
        if "type" in fields:
            bodies.append(fields)
    return bodies


def carried_kbps(bodies, kind):
    """KB/s the service really delivered for the latest whole body of the
    kind's type, over the span the kind's figure covers, or None. The
    video's speed runs from its first byte to its last: the first piece
    passes at once (the line's bucket), so the line's time is from that
    piece's write to the last one's. The file download's load time runs
    from its request: the service's delay before the first byte counts."""
    for b in reversed(bodies):
        try:
            length, sent, first = int(b["length"]), int(b["bytes"]), int(b["first_piece"])
            last, start = float(b["last_ms"]), float(b["first_ms"])
            if kind == "filedown" and "request_ms" in b:
                start, first = float(b["request_ms"]), 0
        except (KeyError, ValueError):
            continue
        seconds = (last - start) / 1000.0
        if b["type"].startswith(CARRIED_TYPES[kind]) and sent == length and seconds > 0:
            return (sent - first) / KB / seconds
    return None


def parse_line(text):
    """The service's line account (GET /__control/line): direction ->
    [(second, bytes)], oldest first."""
    seconds = {"down": [], "up": []}
    for row in text.splitlines():
        f = dict(x.split("=", 1) for x in row.split() if "=" in x)
        try:
            seconds[f["dir"]].append((int(f["second"]), int(f["bytes"])))
        except (KeyError, ValueError):
            continue
    return seconds


# The bandwidth figures leave out the first five one-second samples of a
# direction (the connections' ramp-up); the truth leaves out the same.
RAMP_UP_SECONDS = 5


def line_carried_mb(seconds):
    """MB/s (2^20 bytes) the line carried over the first stretch of seconds
    that all carried bytes (the bandwidth test's), over the seconds its
    figure covers: the partial first second and the ramp-up after it, and
    the partial last second, left out. None when too short to tell."""
    run = seconds[:1]
    for second, count in seconds[1:]:
        if second != run[-1][0] + 1 or count == 0:
            break
        run.append((second, count))
    inner = run[1 + RAMP_UP_SECONDS:-1]
    if len(inner) < 3:
        return None
    return sum(count for _, count in inner) / len(inner) / MB_BITS


def truths(band_down, band_up, line, grow_ms, carried=(), line_seconds=None):
    """kind -> [(label, field, truth, tolerance, relative)]. A figure over
    one body is judged against what the line carried for it when the
    service says so: a service starved of the processor sends slower than
    its rate, and the client can only see what was sent."""
    line_kbps = line * 1e6 / 8 / KB

    def body_truth(kind):
        rate = carried_kbps(carried, kind)
        if rate is None:
            return ("speed", "speed", line_kbps, 0.03, True)
        return ("speed (line carried %.1f%% of %.2f)" % (rate / line_kbps * 100, line_kbps), "speed", rate, 0.03,
                True)

    def band_truth(label, field, direction, nominal, per_byte):
        # per_byte: the figure's unit in bytes per second of the carried MB/s.
        rate = line_carried_mb((line_seconds or {}).get(direction, []))
        if rate is None:
            return (label, field, nominal, 0.02, True)
        truth = rate * per_byte
        return ("%s (line carried %.1f%% of %.4g)" % (label, truth / nominal * 100, nominal), field, truth, 0.02,
                True)

    return {
        "band": [
            band_truth("download", "bandwidth", "down", band_down * 1e6 / MB_BITS, 8),
            # upavgspeed is MB/s: the upload's figure before the eight.
            band_truth("upload", "upavgspeed", "up", band_up * 1e6 / 8 / MB_BITS, 1),
        ],
        "screen": [("first screen", "firstscreentime", grow_ms / 1000.0, 0.030, False)],
        "videospeed": [body_truth("videospeed")],
        "filedown": [body_truth("filedown")],
    }


def judge(value_text, truth, tolerance, relative):
    """(error text, verdict) of one figure."""
    try:
        value = float(value_text)
    except (TypeError, ValueError):
        return "-", "FAIL"
    if relative:
        e = (value - truth) / truth
        return "%+.2f%%" % (e * 100), "PASS" if abs(e) <= tolerance + 1e-9 else "FAIL"
    e = value - truth
    return "%+.0f ms" % (e * 1000), "PASS" if abs(e) <= tolerance + 1e-9 else "FAIL"


def identity_faults(fields, user):
    """Why an automatic record is not the logged-in user's automatic result:
    the service would credit it to no one, or count it as manual."""
    f = dict(fields)
    faults = []
    if f.get("testtype") != "0":
        faults.append("testtype=%s" % f.get("testtype", "missing"))
    if f.get("userid") != user:
        faults.append("userid=%s" % f.get("userid", "missing"))
    for name in ("ip", "location"):
        if not f.get(name, "").strip():
            faults.append("no %s" % name)
    return faults


def truth_rows(records, table, ran, user):
    """Rows: test, figure, record, truth, error, limit, verdict, notes. A
    figure passes within its limit on a record that is the user's."""
    rows = []
    seen = set()
    for source, kind, fields in records:
        if kind not in table:
            rows.append(("(%s)" % kind, "-", " ".join("%s=%s" % f for f in fields), "-", "-", "-", "-", source))
            continue
        seen.add(kind)
        f = dict(fields)
        for label, name, truth, tolerance, relative in table[kind]:
            error, verdict = judge(f.get(name), truth, tolerance, relative)
            faults = identity_faults(fields, user)
            limit = ("%g %%" % (tolerance * 100)) if relative else ("%g ms" % (tolerance * 1000))
            rows.append((TEST_NAMES[kind], label, f.get(name, "(none)"), "%.4g" % truth, error, limit,
                         "FAIL" if faults else verdict, " ".join([source] + faults)))
    for kind in table:
        if kind not in seen:
            rows.append((TEST_NAMES[kind], "-", "(no record)", "-", "-", "-", "FAIL",
                         "" if kind in ran else "the test did not start"))
    return rows


def failing_rows(records, ran):
    """Rows: test, written, verdict, source."""
    rows = []
    written = {kind: [] for kind in FIGURES}
    for source, kind, fields in records:
        if kind in written:
            written[kind].append((source, fields))
        else:
            rows.append(("(%s)" % kind, " ".join("%s=%s" % f for f in fields), "-", source))
    for kind, items in written.items():
        if not items:
            # Nothing written proves nothing unless the test started.
            rows.append((TEST_NAMES[kind], "(none)", "PASS" if kind in ran else "NOT RUN", ""))
        for source, fields in items:
            f = dict(fields)
            rows.append((TEST_NAMES[kind], "%s=%s" % (FIGURES[kind], f.get(FIGURES[kind], "")), "FAIL", source))
    return rows


def print_table(header, rows, verdict_column):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for r in [header] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
    verdicts = [r[verdict_column] for r in rows if r[verdict_column] != "-"]
    print("%d of %d rows pass" % (verdicts.count("PASS"), len(verdicts)))


def with_tasks(settings, web, video, download):
    """The settings document with one selected target per test."""
    tasks = ("<tasks>\n"
             '        <module id="1" name="带宽测速" selected="true"/>\n'
             '        <module id="2" name="网页性能" selected="true">\n'
             '            <item id="1" name="bench" selected="true">%s</item>\n'
             "        </module>\n"
             '        <module id="3" name="视频测速" selected="true">\n'
             '            <item id="1" name="bench" selected="true">%s</item>\n'
             "        </module>\n"
             '        <module id="4" name="文件下载" selected="true">\n'
             '            <item id="1" name="bench" selected="true">%s</item>\n'
             "        </module>\n"
             "    </tasks>") % tuple(escape_xml(u) for u in (web, video, download))
    out, n = re.subn(r"<tasks>.*?</tasks>", lambda _: tasks, settings, count=1, flags=re.S)
    if n != 1:
        raise SystemExit("no <tasks> in the settings document")
    # The one-time hint of the bandwidth page was seen long ago.
    return re.sub(r"<IsBool>true</IsBool>", "<IsBool>false</IsBool>", out)


def escape_xml(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def with_ku6_info(sites, host):
    out, n = re.subn(r'(<site label="ku6">.*?<host role="info">)[^<]*(</host>)', lambda m: m.group(1) + host +
                     m.group(2), sites, count=1, flags=re.S)
    if n != 1:
        raise SystemExit("no ku6 information host in the video sites document")
    return out


def serve_stub(port, stream):
    answer = ('{"data":{"t":"bench","f":"%s","vtime":"8"},"status":1}' % stream).encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            path = self.path.split("?", 1)[0]
            if path == "/empty":
                self.send_response(204)
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif path == "/fetch.htm":
                self.send_response(200)
                self.send_header("Content-Type", "application/json; charset=utf-8")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)
            else:
                self.send_error(404)

        def log_message(self, fmt, *args):
            sys.stderr.write("stub: %s\n" % (fmt % args))

    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    print("stub ready", flush=True)
    server.serve_forever()


def tray_has_owner(display):
    """Whether a notification area has claimed the display's tray selection
    (a program started before that finds no tray)."""
    import ctypes
    import ctypes.util
    x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XGetSelectionOwner.restype = ctypes.c_ulong
    x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    d = x.XOpenDisplay(display.encode())
    if not d:
        return False
    try:
        return x.XGetSelectionOwner(d, x.XInternAtom(d, b"_NET_SYSTEM_TRAY_S0", 0)) != 0
    finally:
        x.XCloseDisplay(d)


def process_tree(pid, proc="/proc"):
    """PID and every process below it that lives now, in ascending order."""
    children = {}
    for entry in Path(proc).iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue  # ended while we looked
        # The name in brackets may hold spaces and brackets: the fields follow the last ')'.
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(entry.name))
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        if p in tree or not (Path(proc) / str(p)).exists():
            continue
        tree.append(p)
        todo.extend(children.get(p, []))
    return sorted(tree)


def tree_memory(pid, proc="/proc"):
    """[(pid, name, pss_kb, rss_kb)] over the tree; a process that ended
    before its turn is left out."""
    rows = []
    for p in process_tree(pid, proc):
        try:
            rollup = (Path(proc) / str(p) / "smaps_rollup").read_text()
            name = (Path(proc) / str(p) / "comm").read_text().strip()
        except OSError:
            continue
        kb = {}
        for line in rollup.splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                kb[parts[0].rstrip(":")] = int(parts[1])
        rows.append((p, name, kb.get("Pss", 0), kb.get("Rss", 0)))
    return rows


def tree_resident_once(pids, proc="/proc"):
    """MB resident in the tree with each physical page counted once, however
    many of the tree's processes map it; None without the rights to see
    page frames (root). PSS sums share a library's pages with every process
    on the machine that maps them, so they read lower while other programs
    of the same libraries run; this figure is the tree's own, the sum's
    ceiling when nothing else maps those libraries."""
    import os
    import struct
    page = os.sysconf("SC_PAGE_SIZE")
    frames = set()
    for p in pids:
        try:
            smaps = (Path(proc) / str(p) / "smaps").read_text().splitlines()
            pagemap = open(Path(proc) / str(p) / "pagemap", "rb")
        except OSError:
            continue
        with pagemap:
            span = None
            for line in smaps:
                parts = line.split()
                if parts and "-" in parts[0] and not parts[0].endswith(":"):
                    span = [int(x, 16) for x in parts[0].split("-")]
                elif parts and parts[0] == "Rss:" and span and int(parts[1]) > 0:
                    pagemap.seek(span[0] // page * 8)
                    for (entry,) in struct.iter_unpack("Q", pagemap.read((span[1] - span[0]) // page * 8)):
                        if entry >> 63 & 1:
                            frames.add(entry & ((1 << 55) - 1))
    if not frames or frames == {0}:
        return None
    return len(frames) * page / 1048576


def largest_mappings(pid, proc="/proc", count=8):
    """[(PSS kB, what)] of one process, summed by mapped file (anonymous
    memory as "[anon]"), largest first."""
    by_name, name = {}, None
    try:
        lines = (Path(proc) / str(pid) / "smaps").read_text().splitlines()
    except OSError:
        return []
    for line in lines:
        parts = line.split()
        if parts and "-" in parts[0] and not parts[0].endswith(":"):
            name = parts[5] if len(parts) > 5 else "[anon]"
        elif parts and parts[0] == "Pss:" and name is not None:
            by_name[name] = by_name.get(name, 0) + int(parts[1])
    return sorted(((kb, n) for n, kb in by_name.items()), reverse=True)[:count]


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    t = sub.add_parser("truth")
    t.add_argument("data_dir")
    for name in ("--band-down", "--band-up", "--line", "--grow-ms"):
        t.add_argument(name, type=float, required=True)
    t.add_argument("--ran", default=",".join(FIGURES))
    t.add_argument("--user", default="10001")
    t.add_argument("--carried", help="the service's GET /__control/carried answer, saved")
    t.add_argument("--line-seconds", help="the service's GET /__control/line answer, saved")
    f = sub.add_parser("failing")
    f.add_argument("data_dir")
    f.add_argument("--ran", default=",".join(FIGURES))
    s = sub.add_parser("tasks")
    s.add_argument("template")
    s.add_argument("out", nargs="+")
    for name in ("--web", "--video", "--download"):
        s.add_argument(name, required=True)
    k = sub.add_parser("ku6-info")
    k.add_argument("sites")
    k.add_argument("host")
    st = sub.add_parser("stub")
    st.add_argument("port", type=int)
    st.add_argument("stream")
    tr = sub.add_parser("tray")
    tr.add_argument("display")
    m = sub.add_parser("memory")
    m.add_argument("pid", type=int)
    m.add_argument("--proc", default="/proc")
    a = p.parse_args(argv)

    if a.command in ("truth", "failing"):
        records = load_records(a.data_dir)
        ran = set(x for x in a.ran.split(",") if x)
        if a.command == "truth":
            carried = parse_carried(Path(a.carried).read_text()) if a.carried else []
            seconds = parse_line(Path(a.line_seconds).read_text()) if a.line_seconds else None
            rows = truth_rows(records, truths(a.band_down, a.band_up, a.line, a.grow_ms, carried, seconds), ran,
                              a.user)
            print_table(("test", "figure", "record", "truth", "error", "limit", "verdict", "source, notes"), rows, 6)
        else:
            print_table(("test", "written", "verdict", "source, notes"), failing_rows(records, ran), 2)
    elif a.command == "tasks":
        text = with_tasks(Path(a.template).read_text(encoding="utf-8"), a.web, a.video, a.download)
        for out in a.out:
            Path(out).write_text(text, encoding="utf-8")
    elif a.command == "ku6-info":
        path = Path(a.sites)
        path.write_text(with_ku6_info(path.read_text(encoding="utf-8"), a.host), encoding="utf-8")
    elif a.command == "tray":
        return 0 if tray_has_owner(a.display) else 1
    elif a.command == "memory":
        rows = tree_memory(a.pid, a.proc)
        for pid, name, pss, rss in rows:
            print(f"  {pid} {name}: PSS {pss / 1024:.1f} MB, RSS {rss / 1024:.1f} MB")
        if rows:
            print("  largest in " + next(r[1] for r in rows if r[0] == a.pid) + ": " +
                  ", ".join(f"{Path(n).name} {kb / 1024:.1f}" for kb, n in largest_mappings(a.pid, a.proc)))
        once = tree_resident_once([r[0] for r in rows], a.proc)
        if once is not None:
            print(f"  resident in the tree, each page once: {once:.1f} MB")
        print(f"{len(rows)} processes, PSS {sum(r[2] for r in rows) / 1024:.1f} MB, "
              f"RSS {sum(r[3] for r in rows) / 1024:.1f} MB")
        return 0 if rows else 1
    else:
        serve_stub(a.port, a.stream)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
