#!/usr/bin/env bash
# Opens a rendered report page in headless Chromium and checks what a person
# would see: the page shows the recording and the report text, and a script
# injected through the report (raw HTML, a javascript: link, an attribute
# breakout) never runs, so it cannot change the title or the document.
#
#   bench/report-page-check.sh [build-dir]     (default build/rel)
#
# Needs chromium (scripts/install-deps --browser) and ffmpeg; skips with a
# message when chromium is missing. Leaves the page and a screenshot in
# $OUT (default: a fresh temporary folder) for looking at.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/rel}
render=$build/bench/snagreel-render-report

browser=$(command -v chromium || command -v chromium-browser || true)
if [[ -z $browser ]]; then
    echo "SKIP: chromium is not installed (run scripts/install-deps --browser)"
    exit 0
fi
if [[ ! -x $render ]]; then
    echo "missing $render: build the snagreel-render-report target first" >&2
    exit 2
fi

out=${OUT:-$(mktemp -d)}
mkdir -p "$out/page/evidence"
page=$out/page

# Two seconds of test pattern, small enough to keep the check quick.
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=320x180:rate=15:duration=2 \
    -c:v libx264 -pix_fmt yuv420p -movflags +faststart "$page/clip.mp4"

cat >"$page/report.md" <<'EOF'
# Save button froze

The window stopped answering after **Save** was pressed; see [the moment](clip.mp4#t=1.5).

<script>document.title = "PWNED"; document.body.innerHTML = "PWNED";</script>
<img src=x onerror="document.title='PWNED'">

- [Run this](javascript:document.title='PWNED')
- [Breakout](<https://example.com" onmouseover="document.title='PWNED'>)
- [Also "quoted"](clip.mp4)

```
<script>document.title = "PWNED"</script>
```
EOF
"$render" "$page/report.md" "Report <with> markup" >"$page/index.html"

profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
flags=(--headless --no-sandbox --disable-gpu --disable-background-networking
    --disable-component-update --disable-sync --no-first-run --user-data-dir="$profile"
    --allow-file-access-from-files --virtual-time-budget=3000)

"$browser" "${flags[@]}" --dump-dom "file://$page/index.html" >"$out/dom.html" 2>"$out/chromium.log"
"$browser" "${flags[@]}" --window-size=1000,1100 --screenshot="$out/screenshot.png" \
    "file://$page/index.html" >>"$out/chromium.log" 2>&1

# The policy itself, not only the escaping: a page with a raw script slipped
# into the article (as a renderer fault would) must still not run it, while
# the same page without the policy does run it (so the check can see a run).
inject='<script>document.title="PWNED";document.body.setAttribute("data-ran","yes")</script>'
sed "s|<article aria-label=\"Written report\">|&$inject|" "$page/index.html" >"$page/tampered.html"
grep -v 'http-equiv="Content-Security-Policy"' "$page/tampered.html" >"$page/no-policy.html"
"$browser" "${flags[@]}" --dump-dom "file://$page/tampered.html" >"$out/tampered-dom.html" 2>>"$out/chromium.log"
"$browser" "${flags[@]}" --dump-dom "file://$page/no-policy.html" >"$out/no-policy-dom.html" 2>>"$out/chromium.log"

status=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        status=1
    fi
}
check "title unchanged by the report" grep -q '<title>Report &lt;with&gt; markup</title>' "$out/dom.html"
check "no PWNED outside escaped text" bash -c "! grep -q '<title>PWNED\|>PWNED<' '$out/dom.html'"
check "no script element in the DOM" bash -c "! grep -qi '<script' '$out/dom.html'"
check "no img element in the DOM" bash -c "! grep -qi '<img' '$out/dom.html'"
check "video element present" grep -q '<video controls="" playsinline="" preload="metadata" src="clip.mp4">' "$out/dom.html"
check "report text present" grep -q 'The window stopped answering after <strong>Save</strong>' "$out/dom.html"
check "clip link keeps its time" grep -q 'href="clip.mp4#t=1.5"' "$out/dom.html"
check "javascript link shown as text" grep -q '\[Run this\](javascript:document.title=' "$out/dom.html"
check "policy blocks a script slipped into the page" bash -c "grep -q '<title>Report &lt;with&gt; markup</title>' '$out/tampered-dom.html' && ! grep -q '<body data-ran' '$out/tampered-dom.html'"
check "control: without the policy that script runs" bash -c "grep -q '<title>PWNED</title>' '$out/no-policy-dom.html' && grep -q '<body data-ran=\"yes\"' '$out/no-policy-dom.html'"
check "screenshot written" test -s "$out/screenshot.png"
echo "page: $page/index.html"
echo "screenshot: $out/screenshot.png"
exit "$status"
