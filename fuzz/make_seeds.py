#!/usr/bin/env python3
"""Writes the generated seeds of corpus/generated: small messages that reach the parts of
the engine the fixture messages rarely touch (TNEF attribute orders, uuencode in every
place, names that try to leave the folder, double-CR lines, mailboxes, AppleDouble)."""
import base64
import pathlib
import struct

out = pathlib.Path(__file__).resolve().parent / "corpus" / "generated"
out.mkdir(parents=True, exist_ok=True)


def attr(level, attr_id, data):
    return struct.pack("<BII", level, attr_id, len(data)) + data + struct.pack("<H", sum(data) & 0xFFFF)


def mapi(props):
    body = struct.pack("<I", len(props))
    for tag, value in props:
        ptype = tag & 0xFFFF
        if ptype in (0x1E, 0x1F, 0x102):
            body += struct.pack("<III", tag, 1, len(value)) + value + b"\0" * (-len(value) % 4)
        else:
            body += struct.pack("<I", tag) + value
    return body


def tnef(title_first=True, long_name=None):
    rtf = b"\xd5\x00\x00\x00\xbb\x01\x00\x00LZFu" + b"{\\rtf1 hello}"
    stream = struct.pack("<IH", 0x223E9F78, 1)
    stream += attr(1, 0x00089006, struct.pack("<I", 0x10000))
    stream += attr(1, 0x00069003, mapi([(0x0E1F000B, struct.pack("<I", 1)), (0x10090102, rtf)]))
    stream += attr(2, 0x00069002, b"\x01" * 14)
    title = attr(2, 0x00018010, b"REPORT~1.TXT\0")
    data = attr(2, 0x0006800F, b"attachment body\r\n")
    stream += title + data if title_first else data + title
    if long_name:
        stream += attr(2, 0x00069005, mapi([(0x3707001F, long_name.encode("utf-16-le") + b"\0\0")]))
    return stream


def b64(data, width=76):
    text = base64.b64encode(data).decode()
    return "\r\n".join(text[i:i + width] for i in range(0, len(text), width))


def uu(name, data, mode="644"):
    lines = [f"begin {mode} {name}"]
    for i in range(0, len(data), 45):
        chunk = data[i:i + 45]
        line = chr(32 + len(chunk))
        chunk += b"\0" * (-len(chunk) % 3)
        for j in range(0, len(chunk), 3):
            a, b, c = chunk[j:j + 3]
            for v in (a >> 2, (a & 3) << 4 | b >> 4, (b & 15) << 2 | c >> 6, c & 63):
                line += chr(32 + v) if v else "`"
        lines.append(line)
    lines += ["`", "end"]
    return "\r\n".join(lines)


def message(headers, body):
    return ("\r\n".join(headers) + "\r\n\r\n" + body).encode("latin-1")


def multipart(parts, boundary="BOUNDARY", top=("From: a@example.org", "Subject: seed")):
    body = "preamble\r\n"
    for headers, content in parts:
        body += f"--{boundary}\r\n" + "\r\n".join(headers) + "\r\n\r\n" + content + "\r\n"
    body += f"--{boundary}--\r\nepilogue\r\n"
    return message(list(top) + ["MIME-Version: 1.0", f'Content-Type: multipart/mixed; boundary="{boundary}"'], body)


seeds = {}
seeds["mixed-text-pdf-html"] = multipart([
    (["Content-Type: text/plain"], "plain body"),
    (['Content-Type: application/pdf; name="report.pdf"', "Content-Transfer-Encoding: base64",
      'Content-Disposition: attachment; filename="report.pdf"'], b64(b"%PDF-1.4 fake" * 20)),
    (["Content-Type: text/html", "Content-Transfer-Encoding: quoted-printable"],
     "<p>caf=C3=A9 soft=\r\nbreak =3D</p>"),
])
seeds["tnef-title-first"] = multipart([(["Content-Type: application/ms-tnef", "Content-Transfer-Encoding: base64"],
                                        b64(tnef(True, "report with a long name.txt")))])
seeds["tnef-data-first"] = multipart([(['Content-Type: application/ms-tnef; name="winmail.dat"',
                                        "Content-Transfer-Encoding: base64"], b64(tnef(False)))])
seeds["tnef-uuencoded-winmail"] = message(["Subject: uu tnef", "Content-Type: application/octet-stream"],
                                          uu("winmail.dat", tnef(True)) + "\r\n")
seeds["uuencode-in-text"] = message(["Subject: uu", "Content-Type: text/plain"],
                                    "see attached\r\n" + uu("a.bin", bytes(range(200))) + "\r\nbye\r\n")
seeds["x-uuencode-part"] = multipart([(['Content-Type: application/octet-stream; name="b.bin"',
                                        "Content-Transfer-Encoding: x-uuencode"], uu("b.bin", b"payload" * 30))])
seeds["names-that-leave"] = multipart([
    (['Content-Type: text/plain; name="../../etc/passwd"'], "one"),
    (['Content-Type: text/plain', 'Content-Disposition: attachment; filename="..\\\\..\\\\evil.exe"'], "two"),
    (['Content-Type: text/plain; name=".."'], "three"),
    (["Content-Type: text/plain", "Content-Disposition: attachment; filename*0*=utf-8''%2e%2e%2f;filename*1=x.txt"],
     "four"),
    (['Content-Type: text/plain; name="=?utf-8?B?Li4vZXZpbA==?="'], "five"),
    (['Content-Type: text/plain; name="/abs/olute"'], "six"),
    (['Content-Location: http://example.org/a/b/photo.jpg?x=1'], "seven"),
    (['Content-Type: text/plain; name="link"'], "eight"),
])
seeds["nested-messages"] = multipart([
    (["Content-Type: message/rfc822"], "Subject: inner\r\nContent-Type: text/plain\r\n\r\ninner body"),
    (["Content-Type: message/rfc822", "Content-Transfer-Encoding: base64", 'Content-Disposition: attachment; filename="fwd.eml"'],
     b64(b"Subject: fwd\r\nContent-Type: multipart/mixed; boundary=in\r\n\r\n--in\r\nContent-Type: text/plain; name=n.txt\r\n\r\nx\r\n--in--\r\n")),
    (['Content-Type: multipart/alternative; boundary="alt"'],
     "alt preamble\r\n--alt\r\nContent-Type: text/plain\r\n\r\nA\r\n--alt\r\nContent-Type: text/html\r\n\r\n<b>B</b>\r\n--alt--"),
])
seeds["appledouble"] = multipart([(['Content-Type: multipart/appledouble; boundary="ad"; name="pic.jpg"',
                                    "Content-Disposition: inline"],
                                   "--ad\r\nContent-Type: application/applefile\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                                   + b64(b"\0\5\26\7meta") + "\r\n--ad\r\nContent-Type: image/jpeg; x-mac-type=4A504547; x-mac-creator=3842494D; name=\"a/b.jpg\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                                   + b64(b"\xff\xd8\xff\xe0jpeg") + "\r\n--ad--")])
seeds["double-cr"] = (b"From: a@example.org\r\nSubject: double\r\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
                      b"X-Junk: y\r\rSubject: inner\rContent-Type: text/plain\r\rinner\n")
seeds["mailbox"] = b"".join(
    b"From sender%d@example.org Sat Jan 18 08:16:20 2014\n" % i
    + message([f"Subject: m{i}", f'Content-Type: text/plain; name="m{i}.txt"'], f"body {i}\nFrom the start\n").replace(b"\r\n", b"\n")
    + b"\n" for i in range(3))
seeds["header-oddities"] = (b"Subject: comment (remark) here\r\nContent-Type: application/octet-stream;\r\n"
                            b'name=""odd(1).bin"; name=second.bin; boundary="q\r\n'
                            b"Content-Disposition: attachment; filename=report(1).pdf; filename==x; filename\r\n"
                            b"Content-Transfer-Encoding: binary\r\n\r\nraw bytes\x00\xff\r\n")
seeds["base64-lf-blank-lines"] = message(["Subject: b64", "Content-Transfer-Encoding: base64", 'Content-Type: image/png; name="p.png"'],
                                         b64(b"\x89PNG" + bytes(300)).replace("\r\n", "\n") + "\n\n\ntrailing text\n").replace(b"\r\n", b"\n")
seeds["mht-and-formdata"] = multipart([
    (['Content-Type: message/rfc822; name="page.mht"', "Content-Transfer-Encoding: 7bit"],
     "Content-Type: text/html\r\nContent-Location: file:///C:/x/index.htm\r\n\r\n<html></html>"),
    (['Content-Disposition: form-data; name="field"; filename="upload.dat"'], "form\x00data"),
])

for name, data in seeds.items():
    (out / name).write_bytes(data)
print(f"{len(seeds)} seeds in {out}")
