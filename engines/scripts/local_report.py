#!/usr/bin/env python3
"""Local report engine: writes a Markdown report for one saved capture with no
network and no account.

    local_report.py --capture DIR --intent=TEXT --output FILE

The heavy work (decoding, key moments, OCR) is done by libexec/snagreel-evidence;
this script checks the capture, turns what the helper found and what the
manifest says into the report, and puts the report and its evidence folder in
place. Everything is written inside the capture folder, first under a hidden
staging folder, so a failed run changes nothing and the report file appears
only when it is complete.

The cloud engine runs this script with --stage DIR to get the same evidence,
facts and fallback text without anything being put in place.
"""

import argparse
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import uuid
from pathlib import Path

sys.dont_write_bytecode = True

ROOT = Path(__file__).resolve().parent.parent
HELPER = ROOT / "libexec" / "snagreel-evidence"


class EngineError(Exception):
    """A failure with the one sentence the user sees."""


def say(line):
    print(line, flush=True)


class Arguments(argparse.ArgumentParser):
    def error(self, message):
        raise EngineError(f"The report engine was started wrongly: {message}.")


def parse_arguments(argv):
    parser = Arguments(prog="local_report.py", add_help=False)
    parser.add_argument("--capture", required=True)
    parser.add_argument("--intent", default="")
    parser.add_argument("--output", required=True)
    parser.add_argument("--stage")
    parser.add_argument("--every", type=float, default=0.0)
    parser.add_argument("--sample-width", type=int, default=768)
    return parser.parse_args(argv)


# --- The capture ---------------------------------------------------------------

def load_manifest(capture):
    path = capture / "manifest.json"
    try:
        raw = path.read_bytes()
    except FileNotFoundError:
        raise EngineError("The capture has no manifest.json, so it cannot be described.")
    except OSError as error:
        raise EngineError(f"The capture's manifest.json cannot be read: {error.strerror}.")
    try:
        manifest = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise EngineError("The capture's manifest.json is damaged (not valid JSON).")
    if not isinstance(manifest, dict):
        raise EngineError("The capture's manifest.json is damaged (not a JSON object).")

    def number(key):
        value = manifest.get(key)
        return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)

    problems = [k for k in ("actualSeconds", "requestedSeconds") if not number(k)]
    if not isinstance(manifest.get("gaps"), list):
        problems.append("gaps")
    if not isinstance(manifest.get("captureId"), str):
        problems.append("captureId")
    if manifest.get("codec") != "h264":
        problems.append("codec")
    if problems:
        raise EngineError("The capture's manifest.json is damaged (bad or missing "
                          + ", ".join(problems) + ").")
    return manifest


def number_or_none(value):
    if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
        return float(value)
    return None


def run_helper(clip, out, every, sample_width):
    if not clip.is_file():
        raise EngineError("The capture has no recording (clip.mp4 is missing).")
    command = [str(HELPER), "--clip", str(clip), "--out", str(out)]
    if every > 0:
        command += ["--every", str(every), "--sample-width", str(sample_width)]
    try:
        helper = subprocess.run(command, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except OSError as error:
        raise EngineError(f"The evidence helper cannot be started ({error.strerror}); "
                          "reinstall Snagreel's report engines.")
    if helper.returncode != 0:
        lines = [l for l in helper.stderr.decode("utf-8", "replace").splitlines() if l.strip()]
        raise EngineError(lines[-1] if lines else "The recording could not be read.")
    try:
        return json.loads((out / "moments.json").read_text("utf-8"))
    except (OSError, ValueError):
        raise EngineError("The evidence helper gave no usable result.")


# --- Text that goes into the report -----------------------------------------------

ERROR_PATTERNS = [re.compile(p, re.IGNORECASE) for p in (
    r"\b(errors?|fail(s|ed|ure)?|exceptions?|denied|refused|fatal|panic|crash(ed)?|"
    r"unauthori[sz]ed|forbidden|timed out|time-?out|segmentation fault|not found)\b",
    r"\bHTTP(/\d(\.\d)?)?\s*[45]\d\d\b",
    r"\b(status|code|error)\s*[:=]?\s*[45]\d\d\b",
    r"\b[45]\d\d\s+(Bad Request|Unauthori[sz]ed|Payment Required|Forbidden|Not Found|"
    r"Method Not Allowed|Conflict|Gone|Too Many Requests|Internal Server Error|"
    r"Not Implemented|Bad Gateway|Service Unavailable|Gateway Time-?out)\b",
    r"Traceback \(most recent call last\)",
    r"^\s*at\s+[\w$.<>]+\s*\(.*\)\s*$",
    r"\bFile \".*\", line \d+",
    r"\b[\w/\\.-]+\.(java|py|js|mjs|ts|cpp|cc|c|h|rs|go|rb|swift|kt):\d+\b",
    r"^\s*#\d+\s+0x[0-9a-fA-F]+",
)]


def looks_like_error(line):
    return any(p.search(line) for p in ERROR_PATTERNS)


HTML_ASSET = re.compile(r"<(?=(img|a|video|source)\b)", re.IGNORECASE)
LINK_DEFINITION = re.compile(r"^(\s*\[[^\]\n]+\]):")


def neutral(text):
    """Text from the screen or the user, changed just enough that it can never
    become a link, an HTML asset or a link definition: the export refuses
    reports holding those it cannot follow, and a drawn link must not turn live."""
    text = text.replace("](", "] (")
    text = HTML_ASSET.sub("< ", text)
    return "\n".join(LINK_DEFINITION.sub(r"\1 :", line) for line in text.split("\n"))


def clean_ocr(text):
    lines = []
    for line in text.replace("\r", "\n").split("\n"):
        line = " ".join(line.split())
        if sum(c.isalnum() for c in line) >= 2:
            lines.append(neutral(line))
    return lines


def code_span(text):
    return "`" + text.replace("`", "'") + "`"


def fenced(lines):
    longest = max([len(l.strip()) for l in lines if l.strip() and set(l.strip()) == {"~"}] + [2])
    fence = "~" * (longest + 1)
    return [fence, *lines, fence]


def clock(seconds):
    # Rounded first, so 59.96 s reads 1:00.0 rather than 0:60.0.
    minutes, rest = divmod(round(max(0.0, seconds), 1), 60)
    return f"{int(minutes)}:{rest:04.1f}"


def seek(seconds):
    value = f"{max(0.0, seconds):.1f}".rstrip("0").rstrip(".")
    return f"[{clock(seconds)}](clip.mp4#t={value})"


def intent_lines(intent):
    lines = []
    for line in neutral(intent.replace("\r\n", "\n").replace("\r", "\n")).split("\n"):
        stripped = line.strip()
        # A fence opened by the user's text would swallow the rest of the report.
        if stripped[:3] in ("```", "~~~"):
            line = "» " + stripped
        lines.append(line)
    while lines and not lines[-1].strip():
        lines.pop()
    while lines and not lines[0].strip():
        lines.pop(0)
    return lines


# --- The timeline in the manifest ----------------------------------------------------

INTERFACES = {"wifi": "Wi-Fi", "wiredEthernet": "wired Ethernet", "cellular": "cellular",
              "loopback": "loopback", "other": "another interface"}


def describe_network(sample):
    status = sample.get("status")
    kinds = [INTERFACES.get(k, str(k)) for k in sample.get("interfaceTypes") or []]
    over = f" over {', '.join(kinds)}" if kinds else ""
    text = {"satisfied": f"Network: connected{over}",
            "unsatisfied": "Network: no connection",
            "requiresConnection": "Network: waiting for a connection"}.get(status, "Network: unknown")
    extras = [w for k, w in (("isExpensive", "expensive"), ("isConstrained", "data saver"))
              if sample.get(k) is True]
    return text + (f" ({', '.join(extras)})" if extras else "") + "."


def describe_system(sample, previous):
    parts = []
    thermal = sample.get("thermalState")
    if previous is None or thermal != previous.get("thermalState"):
        parts.append(f"Thermal state: {thermal}." if thermal and thermal != "unknown"
                     else "Thermal state: unknown.")
    power = sample.get("lowPowerMode")
    if power is not None and (previous is None or power != previous.get("lowPowerMode")):
        parts.append("Power saver: on." if power else "Power saver: off.")
    return " ".join(parts)


def timeline_events(manifest):
    events = []
    for gap in manifest.get("gaps") or []:
        if not isinstance(gap, dict):
            continue
        start, end = number_or_none(gap.get("startSeconds")), number_or_none(gap.get("endSeconds"))
        if start is None:
            continue
        reason = neutral(str(gap.get("reason") or "unknown reason"))
        until = f" until {clock(end)}" if end is not None else ""
        events.append((start, f"Recording gap{until} ({reason}); the video skips this part."))
    diagnostics = manifest.get("diagnostics") if isinstance(manifest.get("diagnostics"), dict) else {}
    channels = (("networkPath", lambda s, p: describe_network(s)),
                ("systemState", describe_system))
    for key, describe in channels:
        channel = diagnostics.get(key) if isinstance(diagnostics.get(key), dict) else {}
        previous = None
        for sample in channel.get("samples") or []:
            at = number_or_none(sample.get("atSeconds")) if isinstance(sample, dict) else None
            if at is None:
                continue
            text = describe(sample, previous)
            if text and not (previous is not None and describe(previous, None) == describe(sample, None)):
                events.append((at, text))
            previous = sample
        if channel.get("historyTruncated") is True:
            events.append((0.0, f"Earlier {'network' if key == 'networkPath' else 'system'} "
                                 "history was cut short by the recorder's limits."))
    # Every word here comes from the manifest, which the engine does not trust.
    return sorted(((at, neutral(text)) for at, text in events), key=lambda e: e[0])


# --- The report ---------------------------------------------------------------------------

REASONS = {"start": "start of the clip", "end": "end of the clip",
           "start and end": "start and end of the clip", "change": "the screen changed"}


def compose(intent, manifest, found, run_path):
    moments = found["keyMoments"]
    duration = found["durationSeconds"]
    for moment in moments:
        moment["lines"] = clean_ocr(moment.get("text") or "")

    errors, seen = [], set()
    for moment in moments:
        for line in moment["lines"]:
            if looks_like_error(line) and line.lower() not in seen:
                seen.add(line.lower())
                errors.append((moment["timestampSeconds"], line))

    first = intent_lines(intent)
    title = next((l.strip() for l in first if l.strip()), "")
    title = (title[:80] + "…") if len(title) > 80 else title
    out = [f"# Report: {title.lstrip('#').strip()}" if title else "# Screen recording report", ""]
    out += ["## What you were doing", ""]
    out += (first or ["No description was given with this recording."]) + [""]

    out += ["## Errors seen on screen", ""]
    if errors:
        out += [f"- {seek(at)} {code_span(line)}" for at, line in errors[:40]]
    else:
        out += ["No error messages were read on screen at the key moments."]
    out.append("")

    out += ["## Key moments", ""]
    for number, moment in enumerate(moments, 1):
        reason = REASONS.get(moment.get("reason"), "key moment")
        out.append(f"{number}. {seek(moment['timestampSeconds'])}: {reason}, "
                   f"[picture](evidence/{run_path}/{moment['path']})")
    out.append("")

    out += ["## What the screen said", ""]
    shown = None
    for number, moment in enumerate(moments, 1):
        if not moment["lines"]:
            continue
        if moment["lines"] == shown:
            out += [f"At {seek(moment['timestampSeconds'])} (key moment {number}) the text was unchanged.", ""]
            continue
        shown = moment["lines"]
        out += [f"### Key moment {number} at {clock(moment['timestampSeconds'])}", ""]
        out += fenced(moment["lines"]) + [""]
    if shown is None:
        out += ["No text could be read at the key moments.", ""]

    out += ["## Timeline", ""]
    entries = [(m["timestampSeconds"], 1, f"Key moment {n}: {REASONS.get(m.get('reason'), 'key moment')}.")
               for n, m in enumerate(moments, 1)]
    entries += [(at, 0, text) for at, text in timeline_events(manifest)]
    for at, _, text in sorted(entries, key=lambda e: (e[0], e[1])):
        out.append(f"- {seek(at)} {text}")
    out.append("")

    out += ["## What was looked at", ""]
    out.append(f"This report was written on this computer without a network. It looked at "
               f"{found['frameCount']} frames ({clock(duration)} of video, "
               f"{found['width']}×{found['height']}), picked {len(moments)} key moments where the "
               f"screen changed or the clip starts and ends, read the English text on those "
               f"moments, and read the recording gaps, network path, thermal and power saver "
               f"changes from the capture's manifest.")
    out.append("")
    out.append("It did not look at: text on frames between the key moments, pictures and "
               "icons, sound (never recorded), typed keys (never recorded), or network "
               "requests (the manifest keeps only the passive network path state). Text read "
               "from the screen can contain mistakes.")
    out += ["", f"Evidence: [key moment index](evidence/{run_path}/evidence.json)", ""]
    facts = {"intent": intent, "errors": [{"timestampSeconds": a, "line": l} for a, l in errors],
             "moments": [{"id": m["id"], "timestampSeconds": m["timestampSeconds"],
                          "reason": m.get("reason"), "path": f"evidence/{run_path}/{m['path']}",
                          "text": m["lines"]} for m in moments],
             "timeline": [{"atSeconds": a, "text": t} for a, t in timeline_events(manifest)],
             "durationSeconds": duration, "frameCount": found["frameCount"],
             "width": found["width"], "height": found["height"]}
    return "\n".join(out), facts


def evidence_index(found):
    duration = found["durationSeconds"]
    return {"v": 1, "durationSeconds": duration,
            "frames": [{"id": m["id"], "timestampSeconds": min(m["timestampSeconds"], duration),
                        "path": m["path"], "reason": m.get("reason")} for m in found["keyMoments"]]}


# --- Putting things in place -------------------------------------------------------------

def write_file(path, text):
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    with os.fdopen(descriptor, "w", encoding="utf-8") as file:
        file.write(text)
        file.flush()
        os.fsync(file.fileno())


def run_name(output):
    stem = output.name[:-3] if output.name.endswith(".md") else output.name
    stem = re.sub(r"[^A-Za-z0-9._-]", "-", stem).lstrip(".") or "report"
    return stem


def check_output(capture, output):
    if output.parent.resolve() != capture:
        raise EngineError("The report must be written inside the capture folder.")
    if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._ -]*\.md", output.name):
        raise EngineError("The report file name is not one Snagreel can open.")
    if os.path.lexists(output):
        raise EngineError("A report with this name already exists; nothing was changed.")


def commit(capture, output, stage, run_path, markdown):
    """Moves the staged evidence to evidence/<run> and then links the report into
    place; a report never appears without its evidence, nor replaces a file."""
    evidence = capture / "evidence"
    made_evidence = False
    if not evidence.exists():
        os.mkdir(evidence, 0o700)
        made_evidence = True
    elif evidence.is_symlink() or not evidence.is_dir():
        raise EngineError("The capture's evidence folder is not a plain folder; nothing was changed.")
    target = evidence / run_path
    try:
        if os.path.lexists(target):
            raise EngineError("Evidence for this report already exists; nothing was changed.")
        os.rename(stage / "run", target)
        temporary = capture / f".report-{uuid.uuid4()}.tmp"
        try:
            write_file(temporary, markdown)
            os.link(temporary, output)
        except BaseException:
            shutil.rmtree(target, ignore_errors=True)
            raise
        finally:
            if os.path.lexists(temporary):
                os.unlink(temporary)
    except BaseException:
        if made_evidence:
            shutil.rmtree(evidence, ignore_errors=True)
        raise


def main(argv):
    arguments = parse_arguments(argv)
    capture = Path(arguments.capture).resolve()
    if not capture.is_dir():
        raise EngineError("The capture folder does not exist.")
    output = Path(arguments.output)
    if not output.is_absolute():
        output = Path.cwd() / output
    check_output(capture, output)
    run_path = run_name(output)

    say("Checking the capture…")
    manifest = load_manifest(capture)

    external_stage = arguments.stage is not None
    stage = Path(arguments.stage) if external_stage else capture / f".engine-{uuid.uuid4()}"
    if not external_stage:
        os.mkdir(stage, 0o700)
    try:
        (stage / "run").mkdir(mode=0o700)
        found = run_helper(capture / "clip.mp4", stage / "run", arguments.every,
                           arguments.sample_width)
        if not found.get("keyMoments"):
            raise EngineError("No frame of the recording could be read.")
        say("Writing the report…")
        markdown, facts = compose(arguments.intent, manifest, found, run_path)
        write_file(stage / "run" / "evidence.json", json.dumps(evidence_index(found), indent=2) + "\n")
        samples = stage / "run" / "samples"
        if samples.exists():
            samples.rename(stage / "samples")
        os.unlink(stage / "run" / "moments.json")
        if external_stage:
            facts["samples"] = found.get("samples", [])
            write_file(stage / "facts.json", json.dumps(facts, indent=2) + "\n")
            write_file(stage / "report.md", markdown)
            return
        commit(capture, output, stage, run_path, markdown)
        say("Report written.")
    finally:
        if not external_stage:
            shutil.rmtree(stage, ignore_errors=True)


def stop(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    # Cancelling sends a polite terminate: unwind so the staging folder goes too.
    signal.signal(signal.SIGTERM, stop)
    try:
        main(sys.argv[1:])
    except EngineError as error:
        sys.stdout.flush()
        print(str(error), file=sys.stderr, flush=True)
        sys.exit(1)
    except OSError as error:
        sys.stdout.flush()
        print(f"The report could not be written: {error.strerror or error}.", file=sys.stderr, flush=True)
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)
