#!/usr/bin/env python3
"""Local-mode render benchmark: time per message and peak memory of the rendering process.

Side by side in one run, on the same messages:
  tarnwick   `tarnwick render` (one process, the renderbox pipeline in local mode)
  baseline   each message turned into HTML with Python's email library and printed by
             one wkhtmltopdf process per message, the way most existing converters work.
Reports median and 95th percentile seconds per message for both, their ratio, and the
peak resident memory of each side.

Usage: bench/render_bench.py [build-dir] [message-folder...]
"""
import email, email.policy, html, os, pathlib, re, shutil, statistics, subprocess, sys, tempfile, time

root = pathlib.Path(__file__).resolve().parent.parent
build = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build"
folders = [pathlib.Path(p) for p in sys.argv[2:]] or [
    root / "samples", root / "../shared/corpora/dev-fixtures/eml", root / "../shared/corpora/dev-fixtures/encodings"]
messages = sorted(p for f in folders if f.exists() for p in f.rglob("*.eml") if p.stat().st_size > 64)
if not messages:
    sys.exit("no messages found")


def pct(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(q * (len(values) - 1))))]


def peak_kib(stderr_text):
    m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", stderr_text)
    return int(m.group(1)) if m else 0


work = pathlib.Path(tempfile.mkdtemp(prefix="renderbench-"))
try:
    # Tarnwick: copy the messages into one folder and render them in one process.
    src = work / "in"
    src.mkdir()
    for i, p in enumerate(messages):
        shutil.copy(p, src / f"{i:04d}.eml")
    env = dict(os.environ, TZ="UTC", XDG_CONFIG_HOME=str(work / "config"))
    run = subprocess.run(["/usr/bin/time", "-v", str(build / "tarnwick"), "render", "--dest", str(work / "out"), str(src)],
                         capture_output=True, text=True, env=env)
    times = [int(t) / 1000 for t in re.findall(r"^  time: (\d+) ms$", run.stdout, re.M)]
    pdfs = len(re.findall(r"^  result: PDF ", run.stdout, re.M))
    tarnwick_peak = peak_kib(run.stderr)

    # Baseline: Python's email library to HTML, one wkhtmltopdf per message.
    base_times, base_peak, base_ok = [], 0, 0
    for i, p in enumerate(messages):
        start = time.perf_counter()
        msg = email.message_from_bytes(p.read_bytes(), policy=email.policy.default)
        part = msg.get_body(preferencelist=("html", "plain"))
        try:
            body = part.get_content() if part else ""
        except Exception:
            body = ""
        if part is not None and part.get_content_type() == "text/plain":
            body = "<pre>" + html.escape(body) + "</pre>"
        head = "".join(f"<b>{k}:</b> {html.escape(str(msg.get(k, '')))}<br>" for k in ("From", "To", "Subject", "Date"))
        page = work / f"b{i}.html"
        page.write_text(f"<html><head><meta charset='utf-8'></head><body>{head}<hr>{body}</body></html>", encoding="utf-8")
        r = subprocess.run(["/usr/bin/time", "-v", "wkhtmltopdf", "-q", "--disable-javascript", str(page), str(work / f"b{i}.pdf")],
                           capture_output=True, text=True)
        base_times.append(time.perf_counter() - start)
        base_peak = max(base_peak, peak_kib(r.stderr))
        base_ok += (work / f"b{i}.pdf").exists()

    print(f"local render benchmark over {len(messages)} messages")
    print(f"  baseline (email + wkhtmltopdf per message): median {statistics.median(base_times):.3f} s, "
          f"p95 {pct(base_times, 0.95):.3f} s, peak {base_peak / 1024:.0f} MB per process, {base_ok} PDFs")
    if times:
        print(f"  tarnwick render:                           median {statistics.median(times):.3f} s, "
              f"p95 {pct(times, 0.95):.3f} s, peak {tarnwick_peak / 1024:.0f} MB (whole process), {pdfs} PDFs")
        print(f"  ratio tarnwick / baseline: median {statistics.median(times) / statistics.median(base_times):.2f}, "
              f"p95 {pct(times, 0.95) / pct(base_times, 0.95):.2f}")
    else:
        print("  tarnwick render produced no timings:\n" + run.stdout[-2000:] + run.stderr[-2000:])
finally:
    shutil.rmtree(work, ignore_errors=True)
