#!/bin/sh
# commit_checkout.sh SOURCE_DIR CLONE
# Clones SOURCE_DIR into CLONE and commits there the checkout's files as they are: edits and new
# files included, ignored ones not, and a tracked file deleted in the checkout stays deleted.
# make dist builds a commit, so this is how a test releases the work in progress. The commit's
# dates come from GIT_AUTHOR_DATE and GIT_COMMITTER_DATE when they are set, so that a caller can
# make the same commit on every run.
set -eu
source_dir=$1 clone=$2
git clone -q "$source_dir" "$clone"
git -C "$clone" rm -r -q --ignore-unmatch .
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for path; do [ ! -f "$path" ] || printf "%s\0" "$path"; done' sh |
    xargs -0 -r cp --parents -t "$clone")
git -C "$clone" add -A
git -C "$clone" -c user.name="Flagpost tests" -c user.email=tests@flagpost.invalid \
    commit -q --allow-empty -m "the checkout as it is"
