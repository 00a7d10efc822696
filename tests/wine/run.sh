#!/usr/bin/env bash
# Runs the Windows build's unit and integration test programs under Wine, each program once,
# two at a time over one wineserver, and prints how many tests ran, passed and failed.
# Usage: tests/wine/run.sh BUILD_DIR
# Tests that cannot work under Wine are excluded by name below, each with its reason printed.
# A test that skips itself counts as a failure: nothing is left out silently.
set -uo pipefail
build=${1:?usage: run.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/env.sh"
# The integration programs load quillmar-s3.dll from the build folder.
build_abs=$(cd "$build" && pwd)
export WINEPATH="Z:${build_abs//\//\\}"
jobs_max=${QUILLMAR_WINE_JOBS:-2}
per_program_limit=300  # seconds; the slowest program takes about half a minute

# name (gtest pattern) | reason
excluded=(
  "CommitOrder.RecordWithoutItsVersionIsTrustedOnlyWhenNotOlderThanItsData|Windows file times count 100 ns units; the test sets a record 1 ns older than its data (commits themselves round stamps up, see src/platform/win32/fs.cpp)"
  "CommitOrder.SweepRemovesStaleTemporaryFilesAndNothingElse|plants symbolic links; Wine makes host links, not Windows reparse points, so lstat of them fails"
  "ObjectStore.LinksInsideTheRootAreNeverFollowed|plants symbolic links; Wine makes host links, not Windows reparse points"
  "KeyPlace.LinksInTheTreeAreNotFollowed|plants symbolic links; Wine makes host links, not Windows reparse points"
  "Refusals.ALinkedBucketIsNoBucket|plants a symbolic link as a bucket; Wine makes host links, not Windows reparse points"
  "Refusals.AFifoInTheTreeIsNeverOpenedNorListed|plants a FIFO; Windows keeps its named pipes out of the file system"
  "ObjectStore.PartCommitMovesDataAndRecordTogether|replaces a file another handle holds open; Wine 8 refuses that and lacks the POSIX-semantics rename (FileRenameInfoEx) of Windows 10"
  "Objects.CopyOntoItself|the copy onto itself replaces the file it is reading from; Wine 8 lacks the POSIX-semantics rename (FileRenameInfoEx) of Windows 10 that allows it"
  "StoreRaces.InFlightUploadsFailWhenTheirBucketIsDeleted|deletes a bucket while uploads hold files open in it; Wine 8 lacks the POSIX-semantics delete of Windows 10, so their names stay until closed and the folder cannot be removed"
  "Example.TrailerChecks|starts its Python helper with the C library's system(), which under Wine reaches cmd.exe, not the host's shell"
  "WalkTest.DeepNesting|about 2000 nested directories; under Wine every file call resolves the whole host path and the test takes many minutes"
  "Multipart.CompleteOfTenThousandParts|lays down 20,000 part files; under Wine every file call goes through the wineserver, and the Complete outlasts the client's time-out"
  "Lifecycle.RootOfExactly4095CharactersStarts|Wine maps a 4095-character root to a host path longer than Linux's 4096-byte limit"
  "HostProgram.ServesUntilSignalledAndReportsFailedStarts|stops the host program with POSIX signals; quillmar-s3d.exe itself is driven by tests/wine/clients.py"
  "StoreRaces.TwoProcessesOnOneRoot|starts and stops two host programs through a POSIX shell (&, kill)"
  "StoreRaces.SecondServerStartKeepsTheFirstOnesLiveUpload|starts and stops a second host program through a POSIX shell; quillmar-s3d.exe itself is driven by tests/wine/clients.py"
  "LayoutTest.TemporaryFilesAreNewRandomAndExclusive|plants a symbolic link; Wine makes host links, not Windows reparse points"
  "Buckets.ListSortedWithPlainFilesEscapedAndOneDate|plants a file named a&b<c; '<' cannot be in a Windows file name"
  "Subresources.KeysAndPrefixesThatAreNotUtf8|plants a file whose name is not UTF-8; Windows names are UTF-16"
  "JsonApi.BucketListIsSortedAndSkipsHiddenEntries|plants a folder whose name is not UTF-8; Windows names are UTF-16"
  "JsonApi.KeysAreEscapedAndInvalidUtf8FailsTheWrite|plants a key whose name is not UTF-8; Windows names are UTF-16"
  "JsonApi.ObjectListThatWouldOutgrowTheResultStaysValid|plants 4000-byte keys made of '\"' at their plain paths; Windows stores '\"' encoded, three bytes each, and such paths pass the 4351-character limit"
  "JsonApi.StatisticsEscapeTheStorageRoot|starts on a root named with '\"', which cannot be in a Windows folder name (the start rightly fails there)"
)

filter="-"
for row in "${excluded[@]}"; do
  pat=${row%%|*}
  echo "excluded under Wine: $pat -- ${row#*|}"
  filter="$filter$pat:"
done

# The tests' helper commands (python3, ls) run on the host through this runner.
runner_file=$(mktemp)
/usr/bin/python3 "$here/commands.py" "$runner_file" &
runner_pid=$!
# Ready once it wrote its address: polled up to 60 s.
for _ in $(seq 600); do [ -s "$runner_file" ] && break; sleep 0.1; done
[ -s "$runner_file" ] || { echo "the command runner did not start" >&2; kill "$runner_pid"; exit 2; }
export QUILLMAR_TEST_COMMANDS
QUILLMAR_TEST_COMMANDS=$(cat "$runner_file")
logs=$(mktemp -d)
stop_runner() {
  kill "$runner_pid" 2>/dev/null
  wait "$runner_pid" 2>/dev/null
  rm -rf "$runner_file" "$logs"
}

shopt -s nullglob
# The longest programs first, so the two lanes end close together.
programs=()
for first in it_multipart it_listing it_head_deadline it_objects it_store_races unit_walk; do
  [ -f "$build/tests/$first.exe" ] && programs+=("$build/tests/$first.exe")
done
for exe in "$build"/tests/it_*.exe "$build"/tests/unit_*.exe; do
  case " ${programs[*]} " in *" $exe "*) ;; *) programs+=("$exe") ;; esac
done
[ ${#programs[@]} -gt 0 ] || { echo "no test programs in $build/tests" >&2; stop_runner; exit 2; }

run_program() {
  local exe=$1 name
  name=$(basename "$exe" .exe)
  timeout -k 10 "$per_program_limit" "$WINE_BIN" "$exe" --gtest_filter="$filter" --gtest_color=no \
    >"$logs/$name.log" 2>&1
  echo $? >"$logs/$name.rc"
}
# Lanes of programs, each lane one after another; the runner is no lane, so it is not waited for.
run_lane() {
  local lane=$1 i
  for ((i = lane; i < ${#programs[@]}; i += jobs_max)); do run_program "${programs[$i]}"; done
}
start=$(date +%s)
lanes=()
for ((l = 0; l < jobs_max; l++)); do
  run_lane "$l" &
  lanes+=($!)
done
wait "${lanes[@]}"

total=0 passed=0 failed=0 skipped=0 bad_programs=()
for exe in "${programs[@]}"; do
  name=$(basename "$exe" .exe)
  log=$logs/$name.log
  rc=$(cat "$logs/$name.rc" 2>/dev/null || echo 1)
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -1)
  ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -1)
  bad=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below.*/\1/p' "$log" | tail -1)
  skip=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below.*/\1/p' "$log" | tail -1)
  ran=${ran:-0} ok=${ok:-0} bad=${bad:-0} skip=${skip:-0}
  total=$((total + ran)) passed=$((passed + ok)) failed=$((failed + bad)) skipped=$((skipped + skip))
  printf '%-28s ran %4d  passed %4d  failed %3d  skipped %2d  (exit %d)\n' "$name" "$ran" "$ok" "$bad" "$skip" "$rc"
  if [ "$rc" -ne 0 ] || [ "$ran" -eq 0 ] || [ "$skip" -ne 0 ]; then
    bad_programs+=("$name")
    [ "$rc" -eq 124 ] && echo "$name: stopped after $per_program_limit s"
    grep -E -A4 '^\[  (FAILED|SKIPPED) \]|Failure|error:' "$log" | cut -c1-300 | head -60
    [ "$ran" -eq 0 ] && tail -20 "$log" | cut -c1-300
  fi
done
stop_runner
echo "under Wine: $total tests ran in ${#programs[@]} programs in $(($(date +%s) - start)) s," \
  "$passed passed, $failed failed, $skipped skipped, ${#excluded[@]} excluded by name"
[ ${#bad_programs[@]} -eq 0 ] || { echo "programs with failures: ${bad_programs[*]}"; exit 1; }
