#!/usr/bin/env bash
# Stages the installer's sample payload into a simulated machine root: the
# 94 files its install script lists, each in the folder of its install
# directory under C:\stage\payload (MainDir, HelpDir, DemoDir, UtilsDir,
# SysDir, Delphi7).
#
#   tools/stage_setup.sh <cmake build folder> <machine root>
#
# The build folder must hold apps/tavpayload (the main build makes it). What
# the files are:
#   - readme.txt is the project's README, licence.txt its licence text (a
#     note that there is none while the source tree carries no LICENCE
#     file), both as Windows text;
#   - TavDemo.tav and SecurityDemo.tav are real databases made by the engine;
#   - the packages (tav14rd7.bpl, dcltav14d7.bpl) and TavrinEditor.exe are
#     program images with a version resource, FileVersion 14.1.0.0;
#   - every other file is a stand-in: bytes (units, package symbols,
#     resources, the help files) or a short text (sources, forms, projects,
#     options), the same on every run. tavrin.hlp is larger than a floppy
#     disk and does not compress, so a floppy build spans disks.
set -euo pipefail

readonly FILE_VERSION=14.1.0.0
readonly HELP_BYTES=2400000  # a 3.5" floppy holds 1,457,664

SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly SOURCE_DIR

# The 42 files of the Delphi 7 directory, in the script's order.
readonly DELPHI7_FILES=(
  tavVerControl.dcu dcltav14d7.dcu dcltav14d7.dpk tav14rd7.bpl tav14rd7.dcp tav14rd7.dcu
  tav14rd7.dpk tavBaseParser.dcu tavCommon.dcu tavCondDef.inc tavConsts.dcu tavCrypt.dcu
  TavDatabase.dcu tavDataUnit.dcu tavDisk.dcu tavExecParsers.dcu tavExprEvaluator.dcu
  tavExprParser.dcu tavFilterOptimizer.dcu tavFilterUnit.dcu tavFromParser.dcu tavIndexUnit.dcu
  TavInterfaceUnit.dcu tavJoinDataProviderUnit.dcu tavLockMgrUnit.dcu tavmdetpe.dcu tavmdetpe.dfm
  tavMiscParsers.dcu tavParserEngine.dcu tavParserUtils.dcu TavProped.dcr tavproped.dcu
  tavpwdlg.dcu tavpwdlg.dfm tavQueryAnalyser.dcu tavQueryDataset.dcu tavQueryPlanner.dcu
  tavQueryProvider.dcu tavSelectParser.dcu TavSQL.dcu tavTableMgrUnit.dcu dcltav14d7.bpl
)

# The demo projects: each its project, options and resource file, then its
# units' sources and forms; the sample databases come last.
readonly DEMO_PROJECTS=(
  "Blobs:BlobsMain"
  "MemoryTable:MemTableMain"
  "Restructure:RestructureMain FieldEditUnit"
  "Security:SecurityMain LoginUnit UsersUnit"
  "SQLDemo:SQLMain ResultUnit PlanUnit"
  "TavDemo:MainUnit DataModuleUnit AboutUnit"
)
readonly DEMO_DATABASES=(TavDemo.tav SecurityDemo.tav)

die() {
  echo "stage_setup: $*" >&2
  exit 1
}

# Unix text to Windows text: CR LF line ends, Windows-1252.
windows_text() {
  iconv -f UTF-8 -t CP1252//TRANSLIT | sed 's/$/\r/'
}

# A size for a stand-in of this name: 2 to 34 KiB, the same on every run.
standin_size() {
  local sum
  sum=$(printf '%s' "$1" | cksum | cut -d' ' -f1)
  echo $((2048 + sum % 32768))
}

# The files a stage asks for are made in one run of the payload tool each.
STANDINS=()
IMAGES=()
standin() {  # <file> [bytes]
  STANDINS+=("$1" "${2:-$(standin_size "$(basename "$1")")}")
}
image() {  # <file>
  IMAGES+=("$1")
}
make_binaries() {
  if ((${#STANDINS[@]})); then "$PAYLOAD_TOOL" standin "${STANDINS[@]}"; fi
  if ((${#IMAGES[@]})); then "$PAYLOAD_TOOL" image "$FILE_VERSION" "${IMAGES[@]}"; fi
  STANDINS=()
  IMAGES=()
}

text_standin() {  # <file> <what it stands for>
  printf '%s\r\n' "{ Tavrin sample payload: a stand-in for $2. }" >"$1"
}

stage_texts() {
  local dir=$PAYLOAD/MainDir
  mkdir -p "$dir"
  windows_text <"$SOURCE_DIR/README.md" >"$dir/readme.txt"
  if [[ -f $SOURCE_DIR/LICENCE ]]; then
    windows_text <"$SOURCE_DIR/LICENCE" >"$dir/licence.txt"
  else
    printf '%s\n' "Tavrin Database Engine" "" \
      "This copy carries no licence text: the source tree it was built from has no LICENCE file." |
      windows_text >"$dir/licence.txt"
  fi
}

stage_programs() {
  mkdir -p "$PAYLOAD/UtilsDir" "$PAYLOAD/SysDir"
  image "$PAYLOAD/UtilsDir/TavrinEditor.exe"
  image "$PAYLOAD/SysDir/tav14rd7.bpl"
  make_binaries
}

stage_help() {
  mkdir -p "$PAYLOAD/HelpDir"
  standin "$PAYLOAD/HelpDir/tavrin.hlp" "$HELP_BYTES"
  standin "$PAYLOAD/HelpDir/tavrin.cnt"
  make_binaries
}

stage_delphi7() {
  local dir=$PAYLOAD/Delphi7 name
  mkdir -p "$dir"
  for name in "${DELPHI7_FILES[@]}"; do
    case $name in
      *.bpl) image "$dir/$name" ;;
      *.dpk | *.inc) text_standin "$dir/$name" "$name" ;;
      *) standin "$dir/$name" ;;
    esac
  done
  make_binaries
}

stage_demo() {
  local dir=$PAYLOAD/DemoDir entry project units unit
  mkdir -p "$dir"
  for entry in "${DEMO_PROJECTS[@]}"; do
    project=${entry%%:*}
    units=${entry#*:}
    text_standin "$dir/$project.dpr" "the $project demo's project"
    text_standin "$dir/$project.dof" "the $project demo's options"
    standin "$dir/$project.res"
    for unit in $units; do
      text_standin "$dir/$unit.pas" "the $project demo's unit $unit"
      text_standin "$dir/$unit.dfm" "the $project demo's form $unit"
    done
  done
  make_binaries
  "$PAYLOAD_TOOL" databases "$dir"
  for unit in "${DEMO_DATABASES[@]}"; do
    [[ -s $dir/$unit ]] || die "the database $unit was not made"
  done
}

main() {
  [[ $# -eq 2 ]] || die "usage: tools/stage_setup.sh <cmake build folder> <machine root>"
  PAYLOAD_TOOL=$(cd "$1" && pwd)/apps/tavpayload
  [[ -x $PAYLOAD_TOOL ]] || die "$PAYLOAD_TOOL is missing: build the project first"
  mkdir -p "$2"
  PAYLOAD=$(cd "$2" && pwd)/C/stage/payload
  rm -rf "$PAYLOAD"
  stage_texts
  stage_programs
  stage_help
  stage_delphi7
  stage_demo
  echo "stage_setup: $(find "$PAYLOAD" -type f | wc -l) payload files in $PAYLOAD"
}

main "$@"
