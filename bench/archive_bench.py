#!/usr/bin/env python3
"""Archive benchmark: messages per second, memory and re-run cost of `tarnwick archive`.

Side by side in one run, on the same generated mbox:
  baseline   the mbox split with Python's mailbox module, each message turned into one
             HTML page with Python's email library and printed by one wkhtmltopdf process
             per message, --jobs-baseline processes at a time, the way most existing
             converters work.
  tarnwick   `tarnwick archive --dest D mbox`: the front end and its renderboxes.
Reports messages per second for both and their ratio, the PDFs and emergency .eml copies
made, the peak memory of the front end, of the largest renderbox and of the largest
renderbox with its engine processes, then runs the same command again over the same
destination and reports how fast already archived messages are skipped and whether any
file below the destination changed.

Usage: bench/archive_bench.py [build-dir] [--count N] [--seed S] [--jobs-baseline J]
                              [--keep] [--skip-baseline] [--skip-tarnwick]
Exit status 0, 1 when a check fails (PDFs plus emergency copies differ from the message
count, a run fails, the re-run changes a file).
"""
import argparse, base64, concurrent.futures, csv, datetime, email, email.policy, html, io, mailbox, os, pathlib
import email.quoprimime, quopri, random, re, resource, shutil, statistics, struct, subprocess, sys, tempfile, time, zlib
from email.header import decode_header, make_header
from email.message import Message
from email.utils import format_datetime, formataddr

root = pathlib.Path(__file__).resolve().parent.parent

# ----------------------------------------------------------------------------------------
# Message generation: deterministic for a seed, built with Python's email library.
# ----------------------------------------------------------------------------------------

ENGLISH = [
    "Thanks for the quick turnaround on the draft, it reads much better now.",
    "The quarterly figures are attached; revenue is up four percent against last year.",
    "Could you check the numbers in the second table before Friday's meeting?",
    "We moved the release to the week after next so that QA can finish the regression run.",
    "The venue has confirmed the booking for forty people, lunch included.",
    "Please remember that the office will be closed on Monday for maintenance.",
    "I spoke with the supplier this morning and they can deliver by the end of the month.",
    "The new process cuts the review time roughly in half, according to the pilot team.",
    "Let me know if anything in the summary is unclear or if I missed a point.",
    "Our customers keep asking for an export to spreadsheets, so it is on the roadmap.",
    "The server migration went smoothly; only two jobs had to be restarted by hand.",
    "Attendance at the workshop was better than expected, with several new faces.",
    "I have added comments in the margin where the wording could be tightened.",
    "Budget approval is pending, but finance expects to sign off on Wednesday.",
    "The train was delayed again, so I joined the call from the platform.",
    "Feel free to forward this to anyone on your team who might be interested.",
    "The invoice number should be quoted on every payment, 50% up front = 1 200 EUR.",
    "We will keep the old address working for another six months, then redirect it.",
]

LANGUAGES = {
    # language: (legacy charset, sentences, subjects, person)
    "de": ("iso-8859-1", [
        "Sehr geehrte Damen und Herren, anbei erhalten Sie die Übersicht für das nächste Quartal.",
        "Die Größe der Änderungen ist überschaubar, aber wir müssen die Straßenpläne noch prüfen.",
        "Bitte schicken Sie mir bis Freitag Ihre Rückmeldung zu den Lösungsvorschlägen.",
        "Für Rückfragen stehe ich Ihnen gerne zur Verfügung.",
        "Die Besprechung findet im großen Saal im Erdgeschoß statt.",
        "Mit freundlichen Grüßen aus München.",
    ], ["Übersicht der Änderungen", "Rückmeldung zur Besprechung", "Größere Lieferung für Düsseldorf"],
        ("Jürgen Müller", "j.mueller@example.de")),
    "fr": ("iso-8859-15", [
        "Bonjour à tous, voici le résumé de la réunion de jeudi dernier.",
        "Le budget prévu pour l'été a été légèrement dépassé, à cause des frais de déplacement.",
        "Pourriez-vous vérifier les chiffres et me répondre avant la fin de la semaine ?",
        "Les élèves ont préparé une fête de Noël très réussie.",
        "Je vous remercie de tout cœur pour votre aide précieuse.",
        "Bien cordialement, et à bientôt à Besançon.",
    ], ["Résumé de la réunion", "Réponse : budget prévu pour l'été", "Œuvres reçues à Besançon"],
        ("François Lefèvre", "francois.lefevre@example.fr")),
    "pl": ("iso-8859-2", [
        "Dzień dobry, w załączeniu przesyłam sprawozdanie za ubiegły miesiąc.",
        "Zażółć gęślą jaźń: to zdanie zawiera wszystkie polskie litery.",
        "Proszę o potwierdzenie terminu spotkania w przyszły wtorek.",
        "Wszystkie faktury zostały już zaksięgowane przez dział księgowości.",
        "Niestety, pociąg do Gdańska był opóźniony o czterdzieści minut.",
        "Pozdrawiam serdecznie z Łodzi.",
    ], ["Sprawozdanie miesięczne", "Zażółć gęślą jaźń", "Spotkanie w Łodzi"],
        ("Zofia Wójcik", "zofia.wojcik@example.pl")),
    "ru": ("koi8-r", [
        "Здравствуйте! Отправляю вам отчёт за третий квартал.",
        "Просьба проверить цифры и сообщить о найденных ошибках до пятницы.",
        "Совещание переносится на следующую неделю, в среду в десять часов.",
        "Съешь же ещё этих мягких французских булок, да выпей чаю.",
        "Все документы находятся в общей папке на сервере.",
        "С уважением, Дмитрий Иванов.",
    ], ["Отчёт за квартал", "Перенос совещания", "Документы на сервере"],
        ("Дмитрий Иванов", "d.ivanov@example.ru")),
    "el": ("iso-8859-7", [
        "Καλημέρα σας, σας στέλνω την αναφορά του μήνα.",
        "Η συνάντηση θα γίνει την Τρίτη στις δέκα το πρωί.",
        "Παρακαλώ ελέγξτε τα στοιχεία και ενημερώστε με για τυχόν λάθη.",
        "Ξεσκεπάζω την ψυχοφθόρα βδελυγμία.",
        "Τα έγγραφα βρίσκονται στον κοινόχρηστο φάκελο.",
        "Με εκτίμηση, Γιώργος Παπαδόπουλος.",
    ], ["Μηνιαία αναφορά", "Συνάντηση την Τρίτη", "Έγγραφα στον φάκελο"],
        ("Γιώργος Παπαδόπουλος", "g.papadopoulos@example.gr")),
    "ja": ("iso-2022-jp", [
        "いつもお世話になっております。",
        "来週の会議の資料をお送りいたします。",
        "添付のファイルに売上の集計表があります。",
        "ご確認のほど、よろしくお願いいたします。",
        "ご不明な点がございましたら、お気軽にお問い合わせください。",
        "東京本社の山田です。",
    ], ["会議資料の送付", "売上集計表について", "来週の打ち合わせ"],
        ("山田太郎", "yamada@example.jp")),
    "zh": ("gb2312", [
        "您好，附件是本季度的销售报告，请查收。",
        "下周二上午十点在北京办公室开会。",
        "如有任何问题，请随时与我联系。",
        "我们的新产品将于明年春天上市。",
        "谢谢大家的支持与合作。",
        "此致敬礼，李伟",
    ], ["季度销售报告", "下周会议通知", "新产品上市计划"],
        ("李伟", "li.wei@example.cn")),
    "ko": ("euc-kr", [
        "안녕하세요. 다음 주 회의 자료를 보내드립니다.",
        "첨부 파일을 확인해 주시기 바랍니다.",
        "서울 사무소에서 화요일 오전 열 시에 회의가 있습니다.",
        "궁금한 점이 있으시면 언제든지 연락 주십시오.",
        "올해 매출은 작년보다 크게 늘었습니다.",
        "감사합니다. 김민준 드림.",
    ], ["회의 자료 송부", "매출 보고서", "서울 사무소 회의"],
        ("김민준", "minjun.kim@example.kr")),
}
EUROPEAN, CJK = ["de", "fr", "pl", "ru", "el"], ["ja", "zh", "ko"]

PEOPLE = [("Anna Schmidt", "anna.schmidt@example.de"), ("John Smith", "john.smith@example.com"),
          ("Jane Doe", "jane.doe@example.org"), ("Priya Raman", "priya@example.in"),
          ("Carlos Ortega", "c.ortega@example.es"), ("Mia Jensen", "mia.jensen@example.dk")] + \
         [LANGUAGES[k][3] for k in LANGUAGES]
NEWSLETTERS = [("Weekly Digest", "news@digest.example.com"), ("Garden Club", "letters@garden.example.net"),
               ("Tech Brief", "brief@tech.example.io")]

# One message kind per slot, cycled, so that even a short run sees every kind.
KINDS = ["plain_short", "plain_long", "newsletter", "newsletter_images", "attachments", "european",
         "cjk_utf8", "cjk_legacy", "html_only", "reply", "european", "newsletter_attachment"]


def png_image(rng, width, height):
    """A small valid PNG: a two-colour gradient with a stripe, RGB, 8 bits."""
    a = [rng.randrange(256) for _ in range(3)]
    b = [rng.randrange(256) for _ in range(3)]
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # filter: none
        for x in range(width):
            t = x / max(1, width - 1)
            stripe = (y // 4) % 2 == 0 and height // 3 <= y < 2 * height // 3
            rows += bytes(255 - int(a[c] * (1 - t) + b[c] * t) if stripe else int(a[c] * (1 - t) + b[c] * t)
                          for c in range(3))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def small_pdf(lines):
    """A small valid one-page PDF showing the given ASCII lines in Helvetica."""
    def pdf_string(s):
        return "(" + s.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)") + ")"
    text = "BT /F1 14 Tf 72 760 Td 18 TL " + " ".join(f"{pdf_string(s)} '" for s in lines) + " ET"
    stream = text.encode("ascii")
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 4 0 R >> >> "
        b"/Contents 5 0 R >>",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Length " + str(len(stream)).encode() + b" >>\nstream\n" + stream + b"\nendstream",
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for i, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += f"{i} 0 obj\n".encode() + body + b"\nendobj\n"
    xref = len(out)
    out += f"xref\n0 {len(objects) + 1}\n0000000000 65535 f \n".encode()
    out += b"".join(f"{o:010d} 00000 n \n".encode() for o in offsets)
    out += f"trailer\n<< /Size {len(objects) + 1} /Root 1 0 R >>\nstartxref\n{xref}\n%%EOF\n".encode()
    return bytes(out)


def text_part(text, subtype="plain", charset="utf-8", cte="quoted-printable"):
    raw = text.encode(charset)  # raises if the text does not fit the charset: a generator bug
    part = Message()
    part["Content-Type"] = f'text/{subtype}; charset="{charset}"'
    part["Content-Transfer-Encoding"] = cte
    if cte == "base64":
        part.set_payload(base64.encodebytes(raw).decode("ascii"))
    elif cte == "quoted-printable":
        part.set_payload(quopri.encodestring(raw).decode("ascii"))
    elif cte == "7bit":
        part.set_payload(raw.decode("ascii"))
    else:  # 8bit: written back byte for byte by the generator
        part.set_payload(raw.decode("ascii", "surrogateescape"))
    return part


def binary_part(data, ctype, filename=None, cid=None, disposition="attachment"):
    part = Message()
    part["Content-Type"] = ctype
    part["Content-Transfer-Encoding"] = "base64"
    if filename:
        name = filename if filename.isascii() else ("utf-8", "", filename)
        part.add_header("Content-Disposition", disposition, filename=name)
    if cid:
        part["Content-ID"] = f"<{cid}>"
    part.set_payload(base64.encodebytes(data).decode("ascii"))
    return part


def multipart(subtype, parts, boundary, **params):
    m = Message()
    m["Content-Type"] = f"multipart/{subtype}"
    m.set_param("boundary", boundary)
    for k, v in params.items():
        m.set_param(k, v)
    for p in parts:
        m.attach(p)
    return m


def paragraphs(rng, sentences, count, per=(2, 5)):
    return [" ".join(rng.choice(sentences) for _ in range(rng.randint(*per))) for _ in range(count)]


def newsletter_html(rng, n, title, articles, cids, lang="en", charset="utf-8"):
    colour = rng.choice(["#1f6f8b", "#8b1f4a", "#3a7d2c", "#6b4fa0", "#b5651d"])
    rows = []
    for i, (head, body) in enumerate(articles):
        picture = (f'<img src="cid:{cids[i]}" width="120" height="80" alt="picture {i + 1}" '
                   f'style="display:block;border:0">' if i < len(cids) else
                   f'<div style="width:120px;height:80px;background:{colour};opacity:0.{3 + i}"></div>')
        rows.append(f'<tr><td style="width:140px;vertical-align:top;padding:12px">{picture}</td>'
                    f'<td style="vertical-align:top;padding:12px;font-size:14px;line-height:1.5;color:#333">'
                    f'<h2 style="margin:0 0 6px 0;font-size:18px;color:{colour}">{html.escape(head)}</h2>'
                    f'<p style="margin:0">{html.escape(body)}</p>'
                    f'<a href="https://example.com/{lang}/article/{n}/{i}" style="color:{colour}">Read more &rarr;</a>'
                    f'</td></tr>')
    prices = "".join(f'<tr><td style="border:1px solid #ccc;padding:4px 8px">Item {k}</td>'
                     f'<td style="border:1px solid #ccc;padding:4px 8px;text-align:right">'
                     f'{rng.randint(1, 999)}.{rng.randint(0, 99):02d} EUR</td></tr>' for k in range(1, rng.randint(3, 8)))
    return f"""<!DOCTYPE html>
<html lang="{lang}"><head><meta http-equiv="Content-Type" content="text/html; charset={charset}">
<title>{html.escape(title)}</title>
<style>
  body {{ margin: 0; padding: 0; background: #f2f2f2; font-family: Helvetica, Arial, sans-serif; }}
  .footer {{ font-size: 11px; color: #888888; padding: 16px; text-align: center; }}
  @media only screen and (max-width: 620px) {{ .wrapper {{ width: 100% !important; }} }}
</style></head>
<body>
<table width="100%" cellpadding="0" cellspacing="0" border="0" style="background:#f2f2f2"><tr><td align="center">
<table class="wrapper" width="600" cellpadding="0" cellspacing="0" border="0"
       style="background:#ffffff;border:1px solid #dddddd;margin:20px 0">
<tr><td colspan="2" style="background:{colour};color:#ffffff;font-size:26px;padding:20px 12px;font-weight:bold">
{html.escape(title)}</td></tr>
{''.join(rows)}
<tr><td colspan="2" style="padding:12px">
<table cellpadding="0" cellspacing="0" style="border-collapse:collapse;width:100%;font-size:13px">
<tr><th style="border:1px solid #ccc;background:#eee;padding:4px 8px;text-align:left">Offer</th>
<th style="border:1px solid #ccc;background:#eee;padding:4px 8px;text-align:right">Price</th></tr>
{prices}</table></td></tr>
<tr><td colspan="2" class="footer">You receive this newsletter because you subscribed at example.com.
<a href="https://example.com/unsubscribe?id={n}" style="color:#888888">Unsubscribe</a></td></tr>
</table></td></tr></table>
</body></html>
"""


def encoded_words(text, charset="utf-8"):
    """RFC 2047 encoded words under the charset's usual MIME name (Python's own header
    encoder would write gb2312 as "eucgb2312_cn"): Q for Latin scripts, else B, each word
    a whole number of characters and at most 75 long."""
    if text.isascii():
        return text
    q = all(ord(c) < 0x250 for c in text)

    def word(chunk):
        raw = chunk.encode(charset)
        if q:
            return email.quoprimime.header_encode(raw, charset)
        return f"=?{charset}?b?{base64.b64encode(raw).decode('ascii')}?="
    words, chunk = [], ""
    for c in text:
        if chunk and len(word(chunk + c)) > 75:
            words.append(word(chunk))
            chunk = c
        else:
            chunk += c
    words.append(word(chunk))
    return " ".join(words)


def address(person, charset="utf-8"):
    name, addr = person
    return formataddr(person) if name.isascii() else f"{encoded_words(name, charset)} <{addr}>"


def make_message(n, rng, message_ids):
    """Message number n (0-based) as an email.message.Message, and its sender address."""
    kind = KINDS[n % len(KINDS)]
    number = f"#{n + 1:04d}"
    boundary = lambda k: f"----=_Bench_{n + 1:04d}_{k}"  # noqa: E731
    hcharset, lang = "utf-8", "en"
    sender = rng.choice(PEOPLE)
    to = rng.sample([p for p in PEOPLE if p != sender], rng.randint(1, 3))
    extra = {}

    if kind == "plain_short":
        sender, *to = rng.sample([p for p in PEOPLE if p[0].isascii()], rng.randint(2, 3))
        subject = f"{rng.choice(['Quick question', 'Lunch tomorrow?', 'Re: keys', 'Call at 3', 'FYI'])} {number}"
        body = text_part(f"Hi {to[0][0].split()[0]},\n\n{rng.choice(ENGLISH)}\n\nCheers,\n{sender[0]}\n",
                         cte="7bit", charset="us-ascii")
    elif kind == "plain_long":
        subject = f"Project notes, week {rng.randint(1, 52)} {number}"
        paras = paragraphs(rng, ENGLISH, rng.randint(4, 10), (3, 7))
        # A line starting with "From " (mbox quoting), a long unbroken line and trailing spaces (QP).
        paras.insert(1, "From the minutes of the last meeting:\n- item one   \n- item two\t\n- " + "x" * 140)
        body = text_part("\n\n".join(paras) + f"\n\n-- \n{sender[0]}\n", cte="quoted-printable")
    elif kind in ("newsletter", "newsletter_images", "newsletter_attachment"):
        sender = rng.choice(NEWSLETTERS)
        title = f"{sender[0]}: {rng.choice(['Spring edition', 'What is new', 'Top stories', 'Monthly roundup'])} {number}"
        subject = title
        articles = [(" ".join(rng.choice(ENGLISH).split()[:5]).rstrip(" ,.;"), " ".join(rng.sample(ENGLISH, 3)))
                    for _ in range(rng.randint(2, 5))]
        plain = text_part("\n\n".join(f"{h}\n{'=' * len(h)}\n{b}" for h, b in articles) +
                          "\n\nUnsubscribe: https://example.com/unsubscribe\n")
        if kind == "newsletter_images":
            images = [png_image(rng, rng.choice([120, 160, 240]), rng.choice([80, 60, 120]))
                      for _ in range(rng.randint(1, 3))]
            cids = [f"img{k}.{n + 1:04d}@bench.example.com" for k in range(len(images))]
            page = newsletter_html(rng, n, title, articles, cids)
            related = multipart("related", [multipart("alternative", [plain, text_part(page, "html")], boundary("a"))] +
                                [binary_part(img, "image/png", filename=f"picture{k}.png", cid=cid, disposition="inline")
                                 for k, (img, cid) in enumerate(zip(images, cids))],
                                boundary("r"), type="multipart/alternative")
            body = related
        else:
            page = newsletter_html(rng, n, title, articles, [])
            body = multipart("alternative", [plain, text_part(page, "html", cte=rng.choice(["quoted-printable", "base64"]))],
                             boundary("a"))
            if kind == "newsletter_attachment":
                pdf = small_pdf([f"Programme {number}", "Doors open at 18:00", "Entry free for members"])
                body = multipart("mixed", [body, binary_part(pdf, "application/pdf", filename=f"programme {n + 1:04d}.pdf")],
                                 boundary("m"))
    elif kind == "attachments":
        subject = f"{rng.choice(['Documents for review', 'Sales figures', 'Invoice and notes'])} {number}"
        text = "\n\n".join(paragraphs(rng, ENGLISH, rng.randint(1, 3)))
        parts = [text_part(f"Hello,\n\n{text}\n\nBest regards,\n{sender[0]}\n", cte="quoted-printable")]
        notes = text_part("\n".join(rng.sample(ENGLISH, 5)) + "\n", cte="7bit", charset="us-ascii")
        notes.add_header("Content-Disposition", "attachment", filename=f"notes-{n + 1:04d}.txt")
        parts.append(notes)
        table = io.StringIO()
        w = csv.writer(table, lineterminator="\r\n")
        w.writerow(["date", "region", "product", "units", "amount"])
        for _ in range(rng.randint(10, 40)):
            w.writerow([f"2023-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}", rng.choice(["North", "South", "Zürich"]),
                        rng.choice(["Widget", "Gadget", "Sprocket"]), rng.randint(1, 500), f"{rng.uniform(5, 9000):.2f}"])
        parts.append(binary_part(table.getvalue().encode("utf-8"), 'text/csv; charset="utf-8"',
                                 filename=rng.choice([f"sales-{n + 1:04d}.csv", f"Übersicht-{n + 1:04d}.csv"])))
        if rng.random() < 0.7:
            parts.append(binary_part(small_pdf([f"Invoice {number}", f"Amount due: {rng.randint(10, 999)} EUR",
                                                "Thank you for your business."]),
                                     "application/pdf", filename=f"invoice-{n + 1:04d}.pdf"))
        body = multipart("mixed", parts, boundary("m"))
    elif kind == "european":
        lang = EUROPEAN[(n // len(KINDS)) % len(EUROPEAN)]
        legacy, sentences, subjects, sender = LANGUAGES[lang]
        hcharset = rng.choice(["utf-8", legacy])
        subject = f"{rng.choice(subjects)} {number}"
        text = "\n\n".join(paragraphs(rng, sentences, rng.randint(2, 5))) + f"\n\n{sender[0]}\n"
        cte = rng.choice(["quoted-printable", "base64", "8bit"])
        body = text_part(text, charset=hcharset, cte=cte)
        if rng.random() < 0.4:
            page = ("<html><body style='font-family:Georgia,serif'>" +
                    "".join(f"<p>{html.escape(p)}</p>" for p in text.split("\n\n")) + "</body></html>")
            body = multipart("alternative", [body, text_part(page, "html", charset=hcharset, cte=cte)], boundary("a"))
    elif kind in ("cjk_utf8", "cjk_legacy"):
        lang = CJK[(n // len(KINDS)) % len(CJK)]
        legacy, sentences, subjects, sender = LANGUAGES[lang]
        hcharset = "utf-8" if kind == "cjk_utf8" else legacy
        subject = f"{rng.choice(subjects)} {number}"
        text = "\n\n".join("".join(rng.choice(sentences) for _ in range(rng.randint(2, 4)))
                           for _ in range(rng.randint(2, 4))) + f"\n\n{sender[0]}\n"
        cte = "7bit" if hcharset == "iso-2022-jp" else "base64"
        body = text_part(text, charset=hcharset, cte=cte)
        if kind == "cjk_utf8" and rng.random() < 0.5:
            page = (f"<html lang='{lang}'><body><table style='border:1px solid #999' cellpadding='6'>" +
                    "".join(f"<tr><td style='background:#eef'>{k + 1}</td><td>{html.escape(p)}</td></tr>"
                            for k, p in enumerate(text.split("\n\n"))) + "</table></body></html>")
            body = multipart("alternative", [body, text_part(page, "html", cte="base64")], boundary("a"))
    elif kind == "html_only":
        subject = f"{rng.choice(['Your order has shipped', 'Event reminder', 'Account statement'])} {number}"
        rows = "".join(f"<tr><td>{k}</td><td>{html.escape(rng.choice(ENGLISH))}</td>"
                       f"<td style='text-align:right'>{rng.randint(1, 99)}.00</td></tr>" for k in range(1, rng.randint(4, 12)))
        page = (f"<html><head><style>table{{border-collapse:collapse}} td,th{{border:1px solid #aaa;padding:3px 6px}}"
                f"</style></head><body><h1 style='color:#2a5d9f'>{html.escape(subject)}</h1>"
                f"<p>{html.escape(rng.choice(ENGLISH))}</p><table><tr><th>#</th><th>Line</th><th>Price</th></tr>"
                f"{rows}</table><p style='font-size:smaller;color:gray'>Sent by an automated system.</p></body></html>")
        body = text_part(page, "html", cte="base64")
    else:  # reply
        earlier = rng.choice(message_ids) if message_ids else None
        subject = f"Re: {rng.choice(['Planning', 'Budget', 'Next steps', 'Travel'])} {number}"
        quoted = "\n".join("> " + line for line in "\n\n".join(paragraphs(rng, ENGLISH, 2)).split("\n"))
        body = text_part(f"{rng.choice(ENGLISH)}\n\nOn an earlier day, {to[0][0]} wrote:\n{quoted}\n",
                         cte="quoted-printable")
        if earlier:
            extra = {"In-Reply-To": earlier, "References": earlier}

    # Dates spread over 2016..2024, in several zones.
    ts = datetime.datetime(2016, 1, 1, tzinfo=datetime.timezone.utc).timestamp() + rng.uniform(0, 9 * 365.25 * 86400)
    zone = datetime.timezone(datetime.timedelta(minutes=rng.choice([-480, -300, 0, 60, 120, 330, 540])))
    when = datetime.datetime.fromtimestamp(int(ts), zone)

    to = [p for p in to if p != sender] or [PEOPLE[0] if sender != PEOPLE[0] else PEOPLE[1]]
    msg = Message()
    msg["From"] = address(sender, hcharset)
    msg["To"] = ", ".join(address(p) for p in to)
    if rng.random() < 0.2:
        msg["Cc"] = address(rng.choice(PEOPLE))
    msg["Subject"] = encoded_words(subject, hcharset)
    msg["Date"] = format_datetime(when)
    msg["Message-ID"] = f"<bench.{n + 1:04d}.{rng.randrange(10**9)}@example.com>"
    for k, v in extra.items():
        msg[k] = v
    if rng.random() < 0.1:
        msg["X-Keywords"] = rng.choice(["work", "travel, receipts", "important"])
    msg["MIME-Version"] = "1.0"
    for k, v in body.items():
        msg[k] = v
    msg.set_payload(body._payload)  # as stored: get_payload() would decode 8bit text
    message_ids.append(msg["Message-ID"])
    return msg, sender[1], int(ts)


def write_mbox(path, count, seed):
    rng = random.Random(seed)
    box = mailbox.mbox(str(path), create=True)
    ids = []
    try:
        for n in range(count):
            msg, sender, ts = make_message(n, rng, ids)
            entry = mailbox.mboxMessage(msg)
            entry.set_from(sender, time.gmtime(ts))
            box.add(entry)  # the mailbox module writes the From_ line and quotes body lines starting "From "
        box.flush()
    finally:
        box.close()


def check_mbox(path, count):
    """The mbox parses back into exactly `count` messages, in order, subjects and bodies readable."""
    box = mailbox.mbox(str(path), create=False)
    try:
        keys = box.keys()
        if len(keys) != count:
            sys.exit(f"generated mbox holds {len(keys)} messages, expected {count}")
        for i, key in enumerate(keys):
            msg = email.message_from_bytes(box.get_bytes(key), policy=email.policy.default)
            subject = str(msg["subject"])
            if not subject.endswith(f"#{i + 1:04d}"):
                sys.exit(f"message {i + 1} of the generated mbox reads back with subject {subject!r}")
            part = msg.get_body(preferencelist=("html", "plain"))
            if part is None or not part.get_content().strip() or msg.defects:
                sys.exit(f"message {i + 1} of the generated mbox has no readable body or defects {msg.defects}")
    finally:
        box.close()


# ----------------------------------------------------------------------------------------
# Baseline: mailbox split, email library to HTML, one wkhtmltopdf per message.
# ----------------------------------------------------------------------------------------

def baseline_page(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.default)

    def header(name):
        try:
            return str(msg.get(name, ""))
        except Exception:
            return str(make_header(decode_header(msg.get_all(name, [""])[0])))
    rows = "".join(f"<tr><th align='left'>{k}:</th><td>{html.escape(header(k))}</td></tr>"
                   for k in ("From", "To", "Date", "Subject"))
    part = msg.get_body(preferencelist=("html", "plain"))
    body = ""
    if part is not None:
        try:
            body = part.get_content()
        except Exception:
            body = (part.get_payload(decode=True) or b"").decode("utf-8", "replace")
        if part.get_content_type() == "text/plain":
            body = "<pre style='white-space:pre-wrap'>" + html.escape(body) + "</pre>"
        else:  # inline images as data: URIs
            images = {}
            for p in msg.walk():
                if p.get("Content-ID") and not p.is_multipart():
                    data = base64.b64encode(p.get_payload(decode=True) or b"").decode("ascii")
                    images[p["Content-ID"].strip().strip("<>")] = f"data:{p.get_content_type()};base64,{data}"
            body = re.sub(r"cid:([^\"'\s>)]+)", lambda m: images.get(m.group(1), m.group(0)), body)
    return (f"<html><head><meta charset='utf-8'></head><body><table>{rows}</table><hr>{body}"
            f"</body></html>")


def run_baseline(mbox_path, out, jobs):
    out.mkdir()
    start = time.perf_counter()
    box = mailbox.mbox(str(mbox_path), create=False)
    pages = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = []
        for i, key in enumerate(box.keys()):
            page = out / f"{i:05d}.html"
            page.write_text(baseline_page(box.get_bytes(key)), encoding="utf-8")
            pages.append(page)
            futures.append(pool.submit(subprocess.run, ["wkhtmltopdf", "--quiet", "--disable-javascript",
                                                        str(page), str(page.with_suffix(".pdf"))],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for f in futures:
            f.result()
    box.close()
    wall = time.perf_counter() - start
    good = sum(1 for p in pages if p.with_suffix(".pdf").exists() and p.with_suffix(".pdf").stat().st_size >= 1000)
    return {"messages": len(pages), "wall": wall, "rate": len(pages) / wall, "pdfs": good,
            # largest reaped child: one wkhtmltopdf (this runs before any other child process)
            "peak_kb": resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss}


# ----------------------------------------------------------------------------------------
# Tarnwick: the archive command, sampled for memory.
# ----------------------------------------------------------------------------------------

def proc_status(pid):
    fields = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(("VmHWM:", "VmRSS:")):
                    name, value = line.split(":", 1)
                    fields[name] = int(value.split()[0])  # kB
    except OSError:
        pass
    return fields


def process_tree():
    """Children of every live process: {ppid: [pid, ...]}."""
    children = {}
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(ppid, []).append(int(entry.name))
    return children


def descendants(pid, children):
    out, todo = [], list(children.get(pid, []))
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(children.get(p, []))
    return out


def is_renderbox(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"--jsonArgs" in f.read().split(b"\0")
    except OSError:
        return False


def cpu_seconds_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_archive(binary, dest, inputs, env, log_prefix, sample=True, extra=()):
    """Runs `tarnwick archive`, sampling memory every 0.2 s. Figures in kB. `cpu` is the
    processor time of the whole process tree (every process is waited for by its parent)."""
    out, err = open(f"{log_prefix}.stdout", "w+"), open(f"{log_prefix}.stderr", "w+")
    stats = {"front_hwm": 0, "renderbox_hwm": {}, "renderbox_tree_rss": 0, "tree_rss": 0, "concurrent": 0}
    cpu_before = cpu_seconds_of_children()
    start = time.perf_counter()
    proc = subprocess.Popen([str(binary), "archive", "--dest", str(dest)] + list(extra) + [str(p) for p in inputs],
                            stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env)
    while proc.poll() is None:
        if sample:
            children = process_tree()
            stats["front_hwm"] = max(stats["front_hwm"], proc_status(proc.pid).get("VmHWM", 0))
            tree = [proc.pid] + descendants(proc.pid, children)
            stats["tree_rss"] = max(stats["tree_rss"], sum(proc_status(p).get("VmRSS", 0) for p in tree))
            boxes = [p for p in children.get(proc.pid, []) if is_renderbox(p)]
            stats["concurrent"] = max(stats["concurrent"], len(boxes))
            for box in boxes:
                hwm = proc_status(box).get("VmHWM", 0)
                stats["renderbox_hwm"][box] = max(stats["renderbox_hwm"].get(box, 0), hwm)
                rss = sum(proc_status(p).get("VmRSS", 0) for p in [box] + descendants(box, children))
                stats["renderbox_tree_rss"] = max(stats["renderbox_tree_rss"], rss)
        time.sleep(0.2 if sample else 0.01)
    stats["wall"] = time.perf_counter() - start
    stats["cpu"] = cpu_seconds_of_children() - cpu_before
    stats["status"] = proc.returncode
    out.seek(0)
    err.seek(0)
    stats["stdout"], stats["stderr"] = out.read(), err.read()
    out.close()
    err.close()
    return stats


def stall_ms(stderr):
    """The front end's own figure (TARNWICK_REPORT_STALLS): how long its event loop stood."""
    m = re.search(r"longest main-thread stall: (\d+) ms", stderr)
    return f"{m.group(1)} ms" if m else "n/a"


def count_outputs(dest):
    """PDFs and emergency .eml copies below dest, outside attachment folders."""
    pdfs = emls = 0
    for path in pathlib.Path(dest).rglob("*"):
        if not path.is_file() or any(part.endswith("(attachments)") for part in path.relative_to(dest).parts[:-1]):
            continue
        suffix = path.suffix.lower()
        pdfs += suffix == ".pdf"
        emls += suffix == ".eml"
    return pdfs, emls


def snapshot(dest):
    out = {}
    for dirpath, dirnames, filenames in os.walk(dest):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            out[os.path.relpath(p, dest)] = (st.st_size, st.st_mtime_ns, os.path.isdir(p))
    return out


def start_up_time(binary, work, env):
    """Fixed cost of one archive run: an archive of an empty folder (falls back to --version)."""
    empty = work / "empty-in"
    empty.mkdir(exist_ok=True)
    times = []
    for i in range(3):
        start = time.perf_counter()
        r = subprocess.run([str(binary), "archive", "--dest", str(work / f"empty-dest{i}"), str(empty)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        times.append(time.perf_counter() - start)
        if r.returncode != 0:
            break
    else:
        return statistics.median(times), "archive of an empty folder"
    times = []
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run([str(binary), "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        times.append(time.perf_counter() - start)
    return statistics.median(times), "tarnwick --version"


def tail(text, lines=15):
    return "\n".join("    " + line for line in text.strip().splitlines()[-lines:])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("build", nargs="?", default=str(root / "build"), help="build folder holding tarnwick")
    ap.add_argument("--count", type=int, default=320, help="messages in the generated mbox (default 320)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the message generator")
    ap.add_argument("--jobs-baseline", type=int, default=2, help="wkhtmltopdf processes at a time (default 2)")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    ap.add_argument("--skip-baseline", action="store_true", help="do not run the baseline")
    ap.add_argument("--skip-tarnwick", action="store_true", help="do not run tarnwick (generation and baseline only)")
    ap.add_argument("--compare", metavar="BUILD", help="another build (the current one) to run first on the same messages")
    ap.add_argument("--engines", metavar="N,N,...", help="also run with --engines N for each N (first run only)")
    args = ap.parse_args()
    binary = pathlib.Path(args.build) / "tarnwick"
    if not args.skip_tarnwick and not binary.exists():
        sys.exit(f"{binary} not found (build first, or pass the build folder)")

    def note(text):
        print(text, file=sys.stderr, flush=True)

    work = pathlib.Path(tempfile.mkdtemp(prefix="archivebench-"))
    failures = []
    try:
        mbox_path = work / "bench.mbox"
        note(f"generating {args.count} messages into {mbox_path}")
        write_mbox(mbox_path, args.count, args.seed)
        check_mbox(mbox_path, args.count)
        n = args.count
        size_mb = mbox_path.stat().st_size / 1e6

        base = None
        if not args.skip_baseline:
            note(f"baseline: email library + wkhtmltopdf, {args.jobs_baseline} at a time")
            base = run_baseline(mbox_path, work / "baseline", args.jobs_baseline)
            if base["pdfs"] != n:
                note(f"note: the baseline made {base['pdfs']} good PDFs of {n} messages")

        tw = rerun = None
        if not args.skip_tarnwick:
            (work / "tmp").mkdir()
            env = dict(os.environ, TZ="UTC", TMPDIR=str(work / "tmp"), XDG_CONFIG_HOME=str(work / "config"),
                       XDG_CACHE_HOME=str(work / "cache"), XDG_DATA_HOME=str(work / "data"),
                       TARNWICK_REPORT_STALLS="1")
            dest = work / "archive"
            note("tarnwick archive: first run")
            tw = run_archive(binary, dest, [mbox_path], env, work / "run1")
            tw["pdfs"], tw["emls"] = count_outputs(dest) if dest.exists() else (0, 0)
            if tw["status"] != 0:
                failures.append(f"tarnwick archive exited with status {tw['status']}:\n{tail(tw['stderr'])}")
            if tw["pdfs"] + tw["emls"] != n:
                failures.append(f"MISMATCH: {tw['pdfs']} PDFs + {tw['emls']} emergency .eml copies "
                                f"= {tw['pdfs'] + tw['emls']}, expected {n} messages")

            note("tarnwick archive: re-run over the same destination")
            before = snapshot(dest) if dest.exists() else {}
            rerun = run_archive(binary, dest, [mbox_path], env, work / "run2", sample=False)
            after = snapshot(dest) if dest.exists() else {}
            changed = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
            rerun["changed"] = changed
            if rerun["status"] != 0:
                failures.append(f"tarnwick archive re-run exited with status {rerun['status']}:\n{tail(rerun['stderr'])}")
            # A message left with only an emergency copy is not archived: the re-run
            # renders it again, so new files (and their folders' times) are expected.
            # A file of the first run that changed or went is a fault.
            touched = [k for k in changed if k in before and not before[k][2]]
            rerun["new_files"] = [k for k in changed if k not in before]
            if touched:
                failures.append(f"the re-run changed {len(touched)} files of the first run, e.g. "
                                + ", ".join(touched[:5]))
            note("measuring start-up")
            rerun["startup"], rerun["startup_how"] = start_up_time(binary, work, env)

        # ---------------------------------------------------------------- report
        def mb(kb):
            return f"{kb / 1024:.0f} MB"

        def row(label, b, t):
            print(f"  {label:42s} {b:>16s} {t:>16s}")
        print(f"archive benchmark over {n} generated messages (mbox {size_mb:.1f} MB, seed {args.seed}, "
              f"{os.cpu_count()} CPUs)")
        row("", "baseline", "tarnwick")
        row("", f"{args.jobs_baseline} wkhtmltopdf" if base else "(skipped)", "archive" if tw else "(skipped)")
        row("wall time", f"{base['wall']:.1f} s" if base else "-", f"{tw['wall']:.1f} s" if tw else "-")
        row("messages/s", f"{base['rate']:.2f}" if base else "-", f"{n / tw['wall']:.2f}" if tw else "-")
        row("PDFs", f"{base['pdfs']}" if base else "-", f"{tw['pdfs']}" if tw else "-")
        row("emergency .eml copies", "-", f"{tw['emls']}" if tw else "-")
        box_peak = max(tw["renderbox_hwm"].values(), default=0) if tw else 0
        row("peak, one converter process", mb(base["peak_kb"]) if base else "-", mb(box_peak) if tw else "-")
        row("peak, converter with its engine processes", mb(base["peak_kb"]) if base else "-",
            mb(tw["renderbox_tree_rss"]) if tw else "-")
        row("peak, front end", "-", mb(tw["front_hwm"]) if tw else "-")
        row("peak, whole process tree (sum of RSS)", "-", mb(tw["tree_rss"]) if tw else "-")
        if tw:
            row("renderboxes started / at most at once", "-", f"{len(tw['renderbox_hwm'])} / {tw['concurrent']}")
        if base and tw:
            print(f"  ratio tarnwick / baseline, messages/s: {n / tw['wall'] / base['rate']:.2f} x")
        if tw:
            net = rerun["wall"] - rerun["startup"]
            print(f"  longest main-thread stall: first run {stall_ms(tw['stderr'])}, re-run {stall_ms(rerun['stderr'])}")
            print(f"  re-run over the same destination: wall {rerun['wall']:.2f} s, start-up {rerun['startup']:.2f} s "
                  f"({rerun['startup_how']})")
            print("    messages skipped/s: " + (f"{n / net:.0f} without start-up, " if net > 0 else "n/a without start-up, ")
                  + f"{n / rerun['wall']:.0f} raw; paths below the destination changed: "
                  + (f"{len(rerun['changed'])}" if rerun["changed"] else "none")
                  + (f" (new files: {len(rerun['new_files'])}, from messages with only an emergency copy)"
                     if rerun.get("new_files") else ""))
            if tw["stdout"].strip():
                print("  tarnwick's summary (first run):\n" + tail(tw["stdout"], 8))
        scaling = []
        if not args.skip_tarnwick and (args.compare or args.engines):
            runs = []
            if args.compare:
                runs.append((f"compared build ({args.compare}), its default", pathlib.Path(args.compare) / "tarnwick", ()))
            if tw:
                runs.append(("this build, default engines", binary, None))
            for count in (args.engines.split(",") if args.engines else []):
                runs.append((f"this build, --engines {count}", binary, ("--engines", count.strip())))
            for i, (label, exe, extra) in enumerate(runs):
                if extra is None:
                    scaling.append((label, tw))
                    continue
                note(f"scaling: {label}")
                dest_i = work / f"scale{i}"
                r = run_archive(exe, dest_i, [mbox_path], env, work / f"scale{i}", extra=extra)
                r["pdfs"], r["emls"] = count_outputs(dest_i) if dest_i.exists() else (0, 0)
                if r["status"] != 0 or r["pdfs"] + r["emls"] != n:
                    failures.append(f"{label}: status {r['status']}, {r['pdfs']} PDFs + {r['emls']} emergency copies of {n}")
                scaling.append((label, r))
                shutil.rmtree(dest_i, ignore_errors=True)
        if scaling:
            cpus = os.cpu_count() or 1
            print(f"  side by side on the same {n} messages (first run; {cpus} CPUs):")
            print(f"    {'run':44s} {'msg/s':>7s} {'CPU use':>8s} {'CPU-s/msg':>10s} {'at full CPU':>12s} {'tree peak':>10s} {'PDFs+eml':>9s}")
            for label, r in scaling:
                per_msg = r["cpu"] / n
                ceiling = cpus / per_msg if per_msg > 0 else 0
                print(f"    {label:44s} {n / r['wall']:7.2f} {100 * r['cpu'] / (r['wall'] * cpus):7.0f}% "
                      f"{per_msg:10.3f} {ceiling:9.1f}/s {mb(r['tree_rss']):>10s} {r['pdfs'] + r['emls']:>9d}")
            print("    (at full CPU: messages per second the processors would allow at the measured processor time "
                  "per message)")
        if failures:
            print(f"  CHECK FAILED: {len(failures)} problem(s), listed on standard error", flush=True)
            print("\n!!! BENCHMARK CHECK FAILED !!!", file=sys.stderr)
            for f in failures:
                print("  " + f, file=sys.stderr)
            return 1
        return 0
    finally:
        if args.keep:
            note(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
