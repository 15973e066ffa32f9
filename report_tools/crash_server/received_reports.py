"""What the local crash server received, as the demo shows it: for each
"report ID: ..., FOLDER" line of the server's output, where the report was
stored, the upload's metadata and form fields, and the first lines of the
unpacked crash log.

  python3 -m crash_server.received_reports SERVER_OUTPUT

Threads: runs on its caller's thread; reads files that the server has
finished writing.
"""

import json
import os
import sys
from typing import List, Optional

# How the server announces a stored report on its output.
PREFIX = "report "


def show(server_output: str) -> None:
    with open(server_output, encoding="utf-8") as f:
        reports = [line.rstrip("\n") for line in f if line.startswith(PREFIX)]
    if not reports:
        print("demo: the crash server received no report")
    for line in reports:
        report_id = line[len(PREFIX):line.index(":")]
        folder = line.rsplit(", ", 1)[1]
        print(f"demo: the crash server received report {report_id}, stored in {folder}")
        with open(os.path.join(folder, "metadata.json"), encoding="utf-8") as f:
            metadata = json.load(f)
        print(f"  from {metadata['user_agent']}, path {metadata['path']}, "
              f"archive {metadata['file_name']} ({metadata['archive_size']} bytes)")
        with open(os.path.join(folder, "fields.json"), encoding="utf-8") as f:
            fields = json.load(f)
        print("  form fields, in the order received:")
        for name, value in fields.items():
            print(f"    {name} = {json.dumps(value, ensure_ascii=False)}")
        with open(os.path.join(folder, "crashlog.txt"), encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        print(f"  crashlog.txt, unpacked from the archive ({len(lines)} lines), begins:")
        for text in lines[:4]:
            print(f"    | {text}")


def main(argv: Optional[List[str]] = None) -> int:
    arguments = sys.argv[1:] if argv is None else argv
    if len(arguments) != 1:
        print("usage: python3 -m crash_server.received_reports SERVER_OUTPUT", file=sys.stderr)
        return 2
    show(arguments[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
