"""What the demo prints of the reports that the server received, read from
the server's own output and storage."""

import os

from crash_server import received_reports

from .support import REPORTER_USER_AGENT, upload


def test_each_stored_report_is_shown_from_the_servers_output(server, tmp_path, capsys):
    output = tmp_path / "server.out"
    output.write_text("")
    received_reports.show(str(output))
    assert capsys.readouterr().out == "demo: the crash server received no report\n"

    log = b"first\r\nsecond\r\nthird\r\nfourth\r\nfifth\r\n"
    fields = {"ptype": "renderer", "note": 'say "hi"'}
    assert upload(server.port, fields, log, path="/submit")[0] == "200"
    output.write_text("\n".join(server.lines()) + "\n")
    received_reports.show(str(output))
    report_id = server.reports()[0]
    archive = os.path.getsize(os.path.join(server.folder, report_id, "archive.zip"))
    assert capsys.readouterr().out.splitlines() == [
        f"demo: the crash server received report {report_id}, stored in "
        f"{os.path.join(server.folder, report_id)}",
        f"  from {REPORTER_USER_AGENT}, path /submit, archive tavra-crashlog-100-1.zip "
        f"({archive} bytes)",
        "  form fields, in the order received:",
        '    note = "say \\"hi\\""',
        '    ptype = "renderer"',
        "  crashlog.txt, unpacked from the archive (5 lines), begins:",
        "    | first",
        "    | second",
        "    | third",
        "    | fourth",
    ]
