#!/usr/bin/env python3
"""Reads a book back the way an EPUB reader does, with parsers we did not write (zipfile,
ElementTree), and dumps what it finds into a folder as UTF-8 files:

  entries            the archive's entry names, one a line, in archive order
  title, creator, contributor, language, identifier, publisher, source
  uid, doctitle      dtb:uid and the document title of the navigation map
  cover              "<href> <media-type>" of the cover image, when the book declares one
  chapters           number of spine pages with a navigation point (the cover page not
                     counted); a page without one continues the chapter before it
  label-K, text-K    navigation label and text of chapter K (paragraphs joined by LF, a
                     heading written "<h2>heading</h2>")
  body               the text of every page in reading order, joined by LF
  pages              href of each page in the spine, one a line
  toc, targets       "<depth> <playOrder> <label>" and the src of each navigation point
  depth              dtb:depth of the navigation map

Exits 1 with a message when the book breaks a rule readers rely on, or one of its own
layout: mimetype not the first, stored entry without extra field; a document that is not
well-formed; text outside paragraphs and headings; an empty paragraph (but the only block of
an empty page) or one with a blank at either end (the style sheet indents); a page over
256 KB that holds more than one paragraph; a first page without a navigation point; a cover
that does not open the reading order or that the guide does not name.

Usage: test_convert_read_book.py BOOK OUTDIR
"""
import os
import posixpath
import sys
import xml.etree.ElementTree as ET
import zipfile

CONTAINER = "{urn:oasis:names:tc:opendocument:xmlns:container}"
OPF = "{http://www.idpf.org/2007/opf}"
DC = "{http://purl.org/dc/elements/1.1/}"
NCX = "{http://www.daisy.org/z3986/2005/ncx/}"
XHTML = "{http://www.w3.org/1999/xhtml}"


def fail(message):
    print(message)
    sys.exit(1)


def parse(z, name):
    try:
        return ET.fromstring(z.read(name))
    except (KeyError, ET.ParseError) as e:
        fail(f"{name}: {e}")


BLANKS = " \t\u3000\u00a0"
MAX_PAGE = 256 * 1024


def paragraphs(page, name, size):
    body = page.find(XHTML + "body")
    if body is None:
        fail(f"{name}: no body")
    if (body.text or "").strip():
        fail(f"{name}: text outside paragraphs: {body.text!r}")
    texts = []
    for child in body:
        if child.tag not in (XHTML + "p", XHTML + "h2"):
            fail(f"{name}: {child.tag} in the body")
        if (child.tail or "").strip():
            fail(f"{name}: text outside paragraphs: {child.tail!r}")
        text = "".join(child.itertext())
        if not text and len(body) > 1:
            fail(f"{name}: an empty paragraph")
        if text and (text[0] in BLANKS or text[-1] in BLANKS):
            fail(f"{name}: a blank at an end of {text!r}")
        texts.append(f"<h2>{text}</h2>" if child.tag == XHTML + "h2" else text)
    if size > MAX_PAGE and len(body.findall(XHTML + "p")) > 1:
        fail(f"{name}: {size} bytes in several paragraphs")
    return "\n".join(texts)


def main(book, out):
    z = zipfile.ZipFile(book)
    first = z.infolist()[0]
    if first.filename != "mimetype" or first.compress_type != zipfile.ZIP_STORED or first.extra:
        fail("mimetype is not the first entry, stored and without extra field")
    if z.read("mimetype") != b"application/epub+zip":
        fail("wrong mimetype content")
    dump = {"entries": "\n".join(z.namelist())}

    container = parse(z, "META-INF/container.xml")
    opf_name = container.find(f"{CONTAINER}rootfiles/{CONTAINER}rootfile").get("full-path")
    base = posixpath.dirname(opf_name)
    opf = parse(z, opf_name)
    metadata = opf.find(OPF + "metadata")
    for element in ("title", "creator", "contributor", "language", "identifier", "publisher",
                    "source"):
        found = metadata.find(DC + element)
        dump[element] = "" if found is None else (found.text or "")
    manifest = {item.get("id"): item for item in opf.find(OPF + "manifest")}
    for meta in metadata.findall(OPF + "meta"):
        if meta.get("name") == "cover":
            item = manifest[meta.get("content")]
            dump["cover"] = item.get("href") + " " + item.get("media-type")

    spine = opf.find(OPF + "spine")
    guide = opf.find(OPF + "guide")
    if "cover" in dump and (len(spine) == 0 or spine[0].get("idref") != "cover" or guide is None
                            or not any(r.get("type") == "cover" for r in guide)):
        fail("the cover page does not open the reading order, or the guide does not name it")
    ncx = parse(z, posixpath.join(base, manifest[spine.get("toc")].get("href")))
    dump["uid"] = next(m.get("content") for m in ncx.iter(NCX + "meta")
                       if m.get("name") == "dtb:uid")
    dump["doctitle"] = ncx.find(f"{NCX}docTitle/{NCX}text").text or ""
    dump["depth"] = next(m.get("content") for m in ncx.iter(NCX + "meta")
                         if m.get("name") == "dtb:depth")
    labels = {}
    toc, targets = [], []

    def walk(parent, depth):
        for point in parent.findall(NCX + "navPoint"):
            src = point.find(NCX + "content").get("src")
            label = point.find(f"{NCX}navLabel/{NCX}text").text or ""
            labels.setdefault(src, label)
            toc.append(f"{depth} {point.get('playOrder')} {label}")
            targets.append(src)
            walk(point, depth + 1)

    walk(ncx.find(NCX + "navMap"), 1)
    dump["toc"] = "\n".join(toc)
    dump["targets"] = "\n".join(targets)

    count = 0
    pages = []
    bodies = []
    for itemref in spine:
        href = manifest[itemref.get("idref")].get("href")
        name = posixpath.join(base, href)
        page = parse(z, name)
        if itemref.get("idref") == "cover":
            continue
        pages.append(href)
        text = paragraphs(page, name, z.getinfo(name).file_size)
        bodies.append(text)
        if href in labels:
            dump[f"label-{count}"] = labels[href]
            dump[f"text-{count}"] = text
            count += 1
        elif count == 0:
            fail(f"{href}: no navigation point")
        else:
            dump[f"text-{count - 1}"] += "\n" + text
    dump["chapters"] = str(count)
    dump["pages"] = "\n".join(pages)
    dump["body"] = "\n".join(bodies)

    os.makedirs(out, exist_ok=True)
    for key, value in dump.items():
        with open(os.path.join(out, key), "w", encoding="utf-8", newline="") as f:
            f.write(value)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        fail(__doc__)
    main(sys.argv[1], sys.argv[2])
