"""``show``, ``diff`` and ``list`` as text: every field of a summary,
comparison or listing laid out for a terminal, each text from an archive
cleaned and cut to the width of its kind of field."""

from __future__ import annotations

from typing import Any

from .text import LINE_CHARS, TYPE_CHARS, VALUE_CHARS, clean, code_line, table

__all__ = ["diff_text", "list_text", "show_text"]

CODE_CHECK_TEXT = {
    "matches": "matches {key}",
    "differs": "DOES NOT come from {key}",
    "unchecked": "not checked: {detail}",
}


def _place(function: dict[str, Any]) -> str:
    """The archived file that the function's source is in (and its notebook cell)."""
    cell = function.get("source_cell")
    return clean(function["source_file"]) + (f", cell {cell}" if cell is not None else "")


def _signature(name: str, params: list[str] | None) -> str:
    """name(param, ...) on one line of bounded width."""
    text = clean(name) + ("(" + ", ".join(clean(p) for p in params) + ")" if params is not None else "")
    return clean(text, LINE_CHARS)


def _function_lines(function: dict[str, Any]) -> list[str]:
    name = function.get("qualname") or function.get("name")
    params = function.get("parameters")
    kind = function.get("kind")
    if name:
        title = _signature(name, params)
    else:
        title = f"<{clean(kind, TYPE_CHARS)}>"
    lines = [f"Function   {title}"]
    if kind not in ("function", "global", "unknown"):
        lines.append(f"  kind      {clean(kind, TYPE_CHARS)}")
    lines.append(f"  module    {clean(function.get('module') or '?')}")
    stored = function.get("stored")
    if stored == "by reference":
        stored += " (the module is imported when the archive is loaded)"
    elif stored == "by value":
        stored += " (the code is in the archive)"
    lines.append(f"  stored    {stored}")
    if function.get("python"):
        lines.append(f"  saved by  Python {clean(function['python'])}")
    if function.get("source_file"):
        where = _place(function)
        if function.get("source_line"):
            where += f", line {function['source_line']}"
        lines.append(f"  source    {where}")
    elif function.get("filename"):
        where = clean(function["filename"])
        if function.get("firstlineno"):
            where += f", line {function['firstlineno']}"
        lines.append(f"  written   {where} (not in the archive)")
    check = function.get("code_check")
    if check and (function.get("stored") == "by value" or check["status"] != "unchecked"):
        text = CODE_CHECK_TEXT[check["status"]].format(
            key=_place(function) if function.get("source_file") else "?", detail=clean(check["detail"], LINE_CHARS)
        )
        lines.append(f"  code      {text}")
    return lines


def _value_text(entry: dict[str, Any]) -> str:
    if entry.get("value") is not None:
        return clean(entry["value"], VALUE_CHARS)
    parts = []
    if "shape" in entry:
        shape = entry["shape"]
        parts.append("shape (" + ", ".join(str(n) for n in shape) + ("," if len(shape) == 1 else "") + ")")
    if "dtype" in entry:
        parts.append(clean(entry["dtype"], TYPE_CHARS))
    if parts:
        return ", ".join(parts)
    if "refers_to" in entry:
        return clean(entry["refers_to"])
    if "length" in entry:
        return f"{entry['length']} items"
    return "-"


def _source_lines(function: dict[str, Any]) -> list[str]:
    text = function.get("source_text")
    if text is None:
        return []
    first = function.get("source_line") or 1
    last = function.get("source_end_line") or first
    lines = text.split("\n")
    width = len(str(first + len(lines)))
    shown = [f"Source     {_place(function)}, lines {first}-{last}"]
    shown += [f"  {str(first + i).rjust(width)}  {code_line(line)}".rstrip() for i, line in enumerate(lines)]
    if last - first + 1 > len(lines):
        shown.append(f"  ... {last - first + 1 - len(lines)} more lines")
    return shown


def _share(part: int, whole: int) -> str:
    return f"{100 * part / whole:.0f}%" if whole else "-"


def show_text(report: dict[str, Any]) -> str:
    """The text that ``show`` prints for the report of a report."""
    size = report.get("size")
    lines = [f"Archive    {clean(report['archive'])}" + (f" ({size} bytes)" if size is not None else "")]
    lines += _function_lines(report["function"])
    warnings = report.get("warnings") or []
    if warnings:
        lines.append("")
        lines.append(f"Warnings ({len(warnings)})")
        lines += [f"  ! {clean(warning, LINE_CHARS)}" for warning in warnings]
    source = _source_lines(report["function"])
    if source:
        lines.append("")
        lines += source
    lines.append("")
    args = report.get("args")
    if "args_type" in report:
        lines.append(f"Arguments: not a dict but {clean(report['args_type'], TYPE_CHARS)}")
    elif args is None:
        lines.append("Arguments: none recorded; expand does not call the function")
    elif not args:
        lines.append("Arguments: none (the function is called without arguments)")
    else:
        lines.append(f"Arguments ({len(args)})")
        rows = [[clean(a["name"]), clean(a["type"], TYPE_CHARS), _value_text(a)] for a in args]
        lines += table(["NAME", "TYPE", "VALUE"], rows)
    lines.append("")
    files = report.get("files") or []
    if "files_type" in report:
        lines.append(f"Files: not a dict but {clean(report['files_type'], TYPE_CHARS)}")
    elif not files:
        lines.append("Files: none")
    else:
        lines.append(f"Files ({len(files)})")
        rows = []
        for f in files:
            size_text = "-" if f["bytes"] is None else str(f["bytes"])
            count = "-" if f["lines"] is None else str(f["lines"])
            rows.append([clean(f["path"]), size_text, count])
        total_bytes = sum(f["bytes"] or 0 for f in files)
        total_lines = sum(f["lines"] or 0 for f in files)
        rows.append(["total", str(total_bytes), str(total_lines)])
        lines += table(["PATH", "BYTES", "LINES"], rows, right=(1, 2))
        folders = report.get("folders") or []
        if folders:
            lines.append("")
            lines.append("Snapshot by top-level folder")
            rows = [[clean(f["folder"]), str(f["files"]), str(f["bytes"]), _share(f["bytes"], total_bytes)] for f in folders]
            lines += table(["FOLDER", "FILES", "BYTES", "SHARE"], rows, right=(1, 2, 3))
    lines.append("")
    imports = report["imports"]
    if imports:
        listed = []
        for entry in imports:
            text = clean(entry["module"])
            if entry.get("via") not in (None, "global"):
                text += f" (through {clean(entry['via'])})"
            listed.append(text)
        lines.append("Imported on load  " + ", ".join(dict.fromkeys(listed)))
    else:
        lines.append("Imported on load  nothing")
    if report.get("other_keys"):
        lines.append("")
        lines.append("Other entries: " + ", ".join(clean(k) for k in report["other_keys"]))
    return "\n".join(lines)


def _side_text(side: dict[str, Any] | None) -> str:
    if not side:
        return "-"
    described = _value_text(side)
    kind = clean(side.get("type", "?"), TYPE_CHARS)
    return described if side.get("value") is not None else f"{kind} {described}".strip()


def diff_text(report: dict[str, Any], stat: bool = False) -> str:
    """The text that ``diff`` prints for a comparison."""
    old, new = report["old"], report["new"]
    lines = [
        f"Old        {clean(old['archive'])}" + (f" ({old['size']} bytes)" if old.get("size") is not None else ""),
        f"New        {clean(new['archive'])}" + (f" ({new['size']} bytes)" if new.get("size") is not None else ""),
    ]
    for label, side in (("old", old), ("new", new)):
        for warning in side.get("warnings") or []:
            lines.append(f"  ! {label}: {clean(warning, LINE_CHARS)}")
    function = report["function"]

    before = _signature(function["old"].get("qualname") or "?", function["old"].get("parameters"))
    after = _signature(function["new"].get("qualname") or "?", function["new"].get("parameters"))
    title = after if before == after else f"{before} -> {after}"
    lines.append("")
    lines.append(f"Function   {title}")
    code = {"same": "unchanged", "changed": "CHANGED", "unknown": "cannot be compared"}[function["code"]]
    lines.append(f"  code      {code}")
    if function["code"] == "same" and function["record"] == "changed":
        lines.append("  other     its defaults, globals or attributes changed")
    for key in ("module", "stored"):
        old_value, new_value = function["old"].get(key), function["new"].get(key)
        if old_value != new_value:
            lines.append(f"  {key:<9} {clean(old_value or '?')} -> {clean(new_value or '?')}")
    old_python, new_python = function["old"].get("python"), function["new"].get("python")
    if old_python or new_python:
        saved = f"Python {clean(old_python or '?')}"
        if new_python != old_python:
            saved += f" -> Python {clean(new_python or '?')}"
        lines.append(f"  saved by  {saved}")
    lines.append("")
    args = report["args"]
    changed = [a for a in args if a["status"] != "same"]
    lines.append(f"Arguments ({len(changed)} of {len(args)} changed)" if args else "Arguments: none")
    rows = []
    for entry in args:
        if entry["status"] == "same":
            rows.append([clean(entry["name"]), "same", _side_text(entry.get("old")), ""])
        else:
            old_text, new_text = _side_text(entry.get("old")), _side_text(entry.get("new"))
            if entry["status"] == "changed" and old_text == new_text:
                new_text = "same type and shape, other data"
            rows.append([clean(entry["name"]), entry["status"], old_text, new_text])
    if rows:
        lines += table(["NAME", "CHANGE", "OLD", "NEW"], rows)
    counts = report["file_counts"]
    lines.append("")
    lines.append(
        f"Files: {counts['changed']} changed, {counts['added']} added, {counts['removed']} removed, {counts['same']} unchanged"
    )
    rows = []
    for row in report["files"]:
        plus = row.get("added_lines")
        minus = row.get("removed_lines")
        change = f"+{plus if plus is not None else '?'} -{minus if minus is not None else '?'}"
        rows.append([row["status"], clean(row["path"]), change, clean(row.get("note", ""), LINE_CHARS)])
    if rows:
        lines += table(["CHANGE", "PATH", "LINES", ""], rows)
    if not stat:
        for row in report["files"]:
            if row.get("diff"):
                lines.append("")
                lines += [code_line(line) for line in row["diff"]]
    return "\n".join(lines)


def list_text(rows: list[dict[str, Any]]) -> str:
    """The text that ``list`` prints: one row per archive; an archive that
    cannot be read gets its error after its name."""
    if not rows:
        return "No archives (files ending in .figvault) in this folder"
    header = ["ARCHIVE", "FUNCTION", "ARGUMENTS", "FILES", "BYTES", "MODIFIED"]
    cells = []
    for row in rows:
        modified = (row["modified"] or "-")[:16].replace("T", " ")
        size = "-" if row["size"] is None else str(row["size"])
        if "error" in row:
            cells.append([clean(row["archive"]), "", "", "", size, modified])
            continue
        names = row["args"]
        if names is None:
            arguments = "-"
        else:
            arguments = ", ".join(clean(name) for name in names) + (", ..." if row["arg_count"] > len(names) else "")
        files = "-" if row["files"] is None else str(row["files"])
        cells.append([clean(row["archive"]), clean(row["function"] or "-"), clean(arguments, VALUE_CHARS), files, size, modified])
    lines = table(header, cells, right=(3, 4))
    # An error row: the name, then the error in place of the other columns.
    width = max(len(line[0]) for line in [header] + cells)
    for index, row in enumerate(rows, 1):
        if "error" in row:
            lines[index] = f"  {cells[index - 1][0].ljust(width)}  error: {clean(row['error'], LINE_CHARS)}"
    return "\n".join(lines)
