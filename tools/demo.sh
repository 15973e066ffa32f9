#!/usr/bin/env bash
# The main job: installs what is missing, builds, and lets the stand-in
# browser start the reporter and tell what happened.
exec bash "$(dirname "${BASH_SOURCE[0]}")/run_program.sh" stand_in_browser.exe --demo "$@"
