#!/usr/bin/env bash
# Every repository path and test name the README and the guides in docs/ name must exist, so that
# they cannot drift from the tree. Paths are words that begin with a top-level folder of the
# repository (globs allowed), relative to its root; test names are words tst_NAME, a
# tests/tst_NAME.cpp or a CTest test of tests/CMakeLists.txt.
# Usage: readme-paths.sh REPOSITORY_ROOT
set -uo pipefail
root=${1:?repository root}
cd "$root" || exit 2

folders=$(find . -mindepth 1 -maxdepth 1 -type d ! -name '.git' ! -name 'build*' -printf '%f\n' |
    sed 's/\./\\./g' | paste -sd '|')
missing=0
for doc in README.md docs/*.md; do
    while IFS= read -r path; do
        path=${path%%[.,;:]}
        # shellcheck disable=SC2086 # the path may be a glob
        if ! compgen -G "$path" >/dev/null; then
            echo "$doc names $path, which does not exist"
            missing=$((missing + 1))
        fi
    done < <(grep -oE "(^|[^A-Za-z0-9_./-])($folders)/[A-Za-z0-9_.*/+-]*" "$doc" |
        sed -E 's/^[^A-Za-z0-9_.]//' | sort -u)

    while IFS= read -r test; do
        if [[ ! -f tests/$test.cpp ]] && ! grep -qw "NAME $test" tests/CMakeLists.txt; then
            echo "$doc names the test $test, which does not exist"
            missing=$((missing + 1))
        fi
    done < <(grep -oE '\btst_[a-z0-9_]+' "$doc" | sort -u)
done

if [[ $missing -gt 0 ]]; then
    echo "$missing name(s) in README.md and docs/*.md do not exist"
    exit 1
fi
echo "every path and test named in README.md and docs/*.md exists"
