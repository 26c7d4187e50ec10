#!/usr/bin/env bash
# The installer program in its windows, on an X display (ctest runs it under
# xvfb-run), driven by a simulated user: installer_window_driver finds the
# windows by their titles and clicks and types into them through XTest. Each
# run installs into a fresh machine root.
#   - Every page, walked through with mouse and keys (a folder typed, a
#     refused close box): the files and the registry store equal those of
#     the same choices made under the scripted presenter, and each page's
#     screenshot (in the build folder) has the page's size and more than one
#     colour.
#   - The close box on a page leaves the wizard as it was; Back goes back;
#     Escape cancels: the install ends as the scripted Cancel's does.
#   - Cancel while the files are copied: the install stops at once, the
#     incomplete page shows, nothing is registered and the install history is
#     gone; the files copied so far are whole.
#   - Without a display the program takes the terminal (and, with no
#     terminal either, says so); --presenter=window says why it cannot work.
#
#   tests/window/installer_window_test.sh <cmake build folder built with TAV_WINDOWED>
set -euo pipefail

BUILD=$(cd "$1" && pwd)
SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$SOURCE_DIR/tools/test_checks.sh"
make_work

DRIVER=$BUILD/installer_window_driver
export TAV_SCREENSHOTS=${TAV_SCREENSHOTS:-$BUILD/screenshots/installer}
mkdir -p "$TAV_SCREENSHOTS"
if [[ -z ${DISPLAY:-} ]]; then
  echo "installer_window_test: no display (run it under xvfb-run)" >&2
  exit 1
fi

PACKAGE='"C:\\Program Files\\Tavrin\\Delphi7\\dcltav14d7.bpl"="Tavrin Database Engine"'
WIZARD=478x395   # the wizard's window (the dialog manager's size)
COPYING=474x146  # the copy progress form's client area

# A staged machine root with the distribution built in C:\build:
# $WORK/<name>/machine. Staged and built once; the others are copies.
"$SOURCE_DIR/tools/stage_setup.sh" "$BUILD" "$WORK/built" >/dev/null
(cd "$WORK/built/C/stage" && TAV_MACHINE_ROOT=$WORK/built timeout 300 ./TavrinDemoInstall -b --unattended >/dev/null 2>&1)
fresh_machine() {  # <name>: "$M" and "$STAGE" (its C:\stage) set, the root exported
  export TAV_MACHINE_ROOT=$WORK/$1/machine
  M=$TAV_MACHINE_ROOT
  STAGE=$M/C/stage
  mkdir -p "$WORK/$1"
  cp -a "$WORK/built" "$M"
}

# The program in its windows while the driver plays the user; the program's
# exit status in STATUS, the driver's in DRIVEN. CHOOSE=1: the program
# chooses its presenter itself (else --presenter=window).
windowed() {  # <driver steps...>
  local args=('-sC:\build')
  [[ ${CHOOSE:-} == 1 ]] || args+=(--presenter=window)
  set +e
  (cd "$STAGE" && exec timeout 120 ./TavrinDemoInstall "${args[@]}" >"$WORK/out.txt" 2>&1) &
  local pid=$!
  "$DRIVER" "$@" >"$WORK/driver.txt" 2>&1
  DRIVEN=$?
  if ((DRIVEN)); then
    cat "$WORK/driver.txt" "$WORK/out.txt" >&2
    kill "$pid" 2>/dev/null
  fi
  wait "$pid"
  STATUS=$?
  set -e
}
# The headless runs need no display: they go in the background while the
# windows are driven, each writing its exit status to $WORK/<name>.status
# and its output to $WORK/<name>.out.
headless() {  # <name> <answers text or -> [options...]
  local name=$1 answers=$2
  shift 2
  fresh_machine "$name"
  [[ $answers == - ]] || printf '%s\n' "$answers" >"$STAGE/answers.txt"
  set +e
  (cd "$STAGE" && timeout 120 ./TavrinDemoInstall '-sC:\build' "$@" </dev/null >"$WORK/$name.out" 2>&1)
  echo $? >"$WORK/$name.status"
}
# The machine's files (C:, less the staging folder) and registry store.
same_machine() {  # <machine root> <machine root>
  diff -r --exclude=stage "$1/C" "$2/C" >&2 && cmp "$1/registry.reg" "$2/registry.reg"
}
status_is() { test "$(cat "$WORK/$1.status")" -eq "$2"; }  # <name> <status>

# The scripted runs the windowed ones are compared with, and the runs
# without a display.
headless scripted $'[SelectDestinationForm]\ntype edDestDir C:\\Tools\\Tavrin\nclick ProceedBtn' \
  --answers=answers.txt &
headless scripted-cancel $'[LicenseForm]\nclick ProceedBtn\n[SelectDestinationForm]\nclick BackBtn\n[LicenseForm]\nclick CancelBtn' \
  --answers=answers.txt &
(unset DISPLAY; headless nodisplay -) &
(unset DISPLAY; headless nodisplay-window - --presenter=window) &

# Where a page's buttons are: the pages fill the wizard's window, their
# buttons along the bottom (Back, Next, Cancel or Finish).
BACK=260,346 NEXT=342,346 FINISH=436,346
DEST_EDIT=375,285    # the destination folder's edit, near its right end
COPY_CANCEL=237,112  # the copy progress form's Cancel

# ---- every page, by mouse and keys ----
fresh_machine pages
windowed wait=Welcome shot=welcome@$WIZARD click=$NEXT \
  wait="Software license agreement" shot=license@$WIZARD close stays="Software license agreement" key=Return \
  wait="Choose Destination Location" shot=destination@$WIZARD \
  click=$DEST_EDIT key=End key=BackSpace*40 type='C:\Tools\Tavrin' click=$NEXT \
  wait="Confirm install details" shot=confirm@$WIZARD click=$NEXT \
  wait="Copying installation files" shot=copying@$COPYING \
  wait="Installation successful" shot=readme@$WIZARD key=Return \
  wait="Setup complete" shot=good@$WIZARD click=$NEXT \
  wait="Installation complete" shot=complete@$WIZARD click=$FINISH \
  gone="Installation complete"
check "pages: the driver went through them" test "$DRIVEN" -eq 0
check "pages: install exits 0 (got $STATUS)" test "$STATUS" -eq 0
check "pages: installed in the typed folder" test -s "$M/C/Tools/Tavrin/Delphi7/dcltav14d7.bpl"
check "pages: the package registered" has "$M/registry.reg" '"C:\\Tools\\Tavrin\\Delphi7\\dcltav14d7.bpl"="Tavrin Database Engine"'
for page in welcome license destination confirm copying readme good complete; do
  check "pages: a screenshot of $page" test -s "$TAV_SCREENSHOTS/$page.ppm"
done

# ---- the close box, Back and Escape on the pages: Cancel at the licence ----
# (no presenter named: with a display the program takes the windows)
fresh_machine close
CHOOSE=1 windowed wait=Welcome close stays=Welcome click=$NEXT \
  wait="Software license agreement" key=Return \
  wait="Choose Destination Location" click=$BACK \
  wait="Software license agreement" key=Escape \
  wait="Setup incomplete" shot=incomplete@$WIZARD click=$FINISH gone="Setup incomplete"
check "close: the driver went through" test "$DRIVEN" -eq 0
check "close: cancelled install exits 2 (got $STATUS)" test "$STATUS" -eq 2
check "close: no files" test ! -e "$M/C/Program Files/Tavrin"
check "close: no package" lacks "$M/registry.reg" "$PACKAGE"

# ---- Cancel while the files are copied ----
fresh_machine copy
windowed wait=Welcome key=Return wait="Software license agreement" key=Return \
  wait="Choose Destination Location" key=Return wait="Confirm install details" key=Return \
  wait="Copying installation files" click=$COPY_CANCEL \
  wait="Setup incomplete" click=$FINISH gone="Setup incomplete"
check "copy: the driver went through" test "$DRIVEN" -eq 0
check "copy: cancelled install exits 2 (got $STATUS)" test "$STATUS" -eq 2
check "copy: stopped before the last file" test ! -e "$M/C/Program Files/Tavrin/readme.txt"
check "copy: no product key" lacks "$M/registry.reg" '"InstallPath"='
check "copy: no package" lacks "$M/registry.reg" "$PACKAGE"
check "copy: no install history" lacks "$M/registry.reg" 'QEL\Install'

wait
# ---- the windowed runs against the scripted ones ----
check "scripted install exits 0" status_is scripted 0
check "pages: files and store as the scripted run's" same_machine "$WORK/scripted/machine" "$WORK/pages/machine"
check "scripted cancel exits 2" status_is scripted-cancel 2
check "close: files and store as the scripted cancel's" same_machine "$WORK/scripted-cancel/machine" "$WORK/close/machine"
# What the cancelled copy left is whole: each file as the complete install has it.
copied_whole() {
  local f rel done=$WORK/scripted/machine/C
  while IFS= read -r -d '' f; do
    rel=${f#"$M/C/Program Files/Tavrin/"}
    cmp -s "$f" "$done/Tools/Tavrin/$rel" || { echo "not whole: $rel" >&2; return 1; }
  done < <(find "$M/C/Program Files/Tavrin" -type f ! -name instlog.txt -print0 2>/dev/null)
  test ! -e "$M/C/WINDOWS/system32/tav14rd7.bpl" ||
    cmp -s "$M/C/WINDOWS/system32/tav14rd7.bpl" "$done/WINDOWS/system32/tav14rd7.bpl"
}
check "copy: the files copied are whole" copied_whole

# ---- no display ----
check "no display: exits 1" status_is nodisplay 1
check "no display: the terminal presenter speaks" has "$WORK/nodisplay.out" "There is no terminal to ask the user on"
check "no display, window asked for: exits 1" status_is nodisplay-window 1
check "no display, window asked for: says why" has "$WORK/nodisplay-window.out" \
  "The presenter window cannot work here: DISPLAY is not set"
check "no display: nothing installed" test ! -e "$WORK/nodisplay/machine/C/Program Files/Tavrin"

end_checks "installer in windows"
