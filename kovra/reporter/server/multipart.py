"""A small reader of multipart/form-data bodies already held in memory: the parts, never files.

``split_form(content_type, body, max_parts)`` -> [(field name, file name or None, bytes)].
File names come as ``filename="..."`` or as RFC 5987 ``filename*=UTF-8''...``.
"""
import urllib.parse


class MultipartError(ValueError):
    pass


# Parameters in one header, at most: each is cut from what is left of the header, so that many
# would cost time growing with their number squared.
MAX_PARAMS = 32


def _params(header):
    """The value and parameters of a header such as Content-Disposition: form-data; name="x"."""
    value, _, rest = header.partition(";")
    params = {}
    count = 0
    while rest:
        count += 1
        if count > MAX_PARAMS:
            raise MultipartError("more than %d parameters in a header" % MAX_PARAMS)
        rest = rest.lstrip(" \t;")
        if not rest:
            break
        key, eq, rest = rest.partition("=")
        key = key.strip().lower()
        if not eq:
            break
        rest = rest.lstrip()
        if rest.startswith('"'):
            out = []
            index = 1
            while index < len(rest) and rest[index] != '"':
                if rest[index] == "\\" and index + 1 < len(rest):
                    index += 1
                out.append(rest[index])
                index += 1
            if index >= len(rest):
                raise MultipartError("an unterminated quoted parameter")
            params[key] = "".join(out)
            rest = rest[index + 1:]
        else:
            item, _, rest = rest.partition(";")
            params[key] = item.strip()
    return value.strip().lower(), params


def _filename(params):
    extended = params.get("filename*")
    if extended is not None:
        charset, _, rest = extended.partition("'")
        _, _, encoded = rest.partition("'")
        if charset.lower() not in ("utf-8", "utf8"):
            raise MultipartError("file names must be UTF-8")
        try:
            return urllib.parse.unquote(encoded, encoding="utf-8", errors="strict")
        except UnicodeDecodeError:
            raise MultipartError("a file name that is not UTF-8") from None
    return params.get("filename")


def split_form(content_type, body, max_parts):
    kind, params = _params(content_type)
    boundary = params.get("boundary")
    if kind != "multipart/form-data" or not boundary or len(boundary) > 200:
        raise MultipartError("no boundary")
    delimiter = b"--" + boundary.encode("latin-1")
    start = body.find(delimiter)
    if start < 0:
        raise MultipartError("the boundary never appears")
    parts = []
    at = start + len(delimiter)
    while True:
        if body[at:at + 2] == b"--":
            return parts
        if body[at:at + 2] != b"\r\n":
            raise MultipartError("a boundary not followed by a line break")
        head_end = body.find(b"\r\n\r\n", at + 2)
        if head_end < 0:
            raise MultipartError("a part's headers never end")
        next_at = body.find(b"\r\n" + delimiter, head_end + 4)
        if next_at < 0:
            raise MultipartError("the body ends inside a part")
        if len(parts) >= max_parts:
            raise MultipartError("more than %d parts" % max_parts)
        disposition = None
        for line in body[at + 2:head_end].split(b"\r\n"):
            key, colon, value = line.partition(b":")
            if not colon:
                raise MultipartError("a malformed part header")
            if key.strip().lower() == b"content-disposition":
                try:
                    disposition = value.decode("utf-8")
                except UnicodeDecodeError:
                    raise MultipartError("a part header that is not UTF-8") from None
        if disposition is None:
            raise MultipartError("a part without Content-Disposition")
        what, fields = _params(disposition)
        if what != "form-data" or "name" not in fields:
            raise MultipartError("a part that is not a named form field")
        parts.append((fields["name"], _filename(fields), body[head_end + 4:next_at]))
        at = next_at + 2 + len(delimiter)
