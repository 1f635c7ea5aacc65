#!/usr/bin/env python3
"""Builds tool packages for the stand-in server from the demo tool binary.

A package is either the binary itself with a chosen file version ("exe"), or a zip whose top
level is the tool's folder T holding the binary under the tool's executable name, plus extra
files ("zip"). The version is patched into a copy of the binary: on Linux the ELF note the
tools carry (name "Tovarin", type 1, four 32-bit numbers), on Windows the fixed file
information of the version resource. Output is deterministic: the same arguments give the same
bytes.

    toolpackage.py zip -o BPC-1.5.0.0.zip --version 1.5.0.0 --folder BPC --exe BPC \\
        --file config.ini="[Demo]" --file README.txt="BPC 1.5.0.0"
    toolpackage.py exe -o JBM.exe --version 2.0.0.0
    toolpackage.py zip -o bad.zip --version 1.0.0.0 --folder T --exe T --raw-entry ../x=evil
    toolpackage.py exe -o JBM.exe --version 2.0.0.0 --sign key.pem     # also JBM.exe.sig

Python 3 standard library only (--sign runs the openssl command).
"""

import argparse
import os
import struct
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import packagesign  # noqa: E402  (shared with devserver.py)

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BINARY = os.path.join(os.path.dirname(HERE), "build", "bin", "demotool")
NOTE_NAME = b"Tovarin\0"
NOTE_TYPE = 1
FIXED_INFO_SIGNATURE = 0xFEEF04BD
VERSION_KEY = "VS_VERSION_INFO\0".encode("utf-16-le")
# Zip entries carry this time, so repeated runs give identical packages.
FIXED_TIME = (2024, 1, 1, 0, 0, 0)


class PackageError(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# Version records


def parse_version(text):
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() for p in parts):
        raise PackageError("version must be four numbers a.b.c.d: %r" % text)
    return [int(p) for p in parts]


def elf_notes(data):
    """Offsets of the descriptors of the version notes (deduplicated), and the byte order."""
    if data[:4] != b"\x7fELF" or len(data) < 0x40 or data[4] not in (1, 2) or data[5] not in (1, 2):
        return None, None
    is64 = data[4] == 2
    order = "<" if data[5] == 1 else ">"

    def u(fmt, at):
        size = struct.calcsize(fmt)
        if at < 0 or at + size > len(data):
            return None
        return struct.unpack_from(order + fmt, data, at)[0]

    word = "Q" if is64 else "I"
    ranges = []
    shoff, shentsize, shnum = u(word, 0x28 if is64 else 0x20), u("H", 0x3A if is64 else 0x2E), \
        u("H", 0x3C if is64 else 0x30)
    if shoff and shentsize and shnum:
        for i in range(shnum):
            h = shoff + i * shentsize
            if u("I", h + 4) == 7:  # SHT_NOTE
                ranges.append((u(word, h + (24 if is64 else 16)), u(word, h + (32 if is64 else 20)),
                               u(word, h + (48 if is64 else 32))))
    phoff, phentsize, phnum = u(word, 0x20 if is64 else 0x1C), u("H", 0x36 if is64 else 0x2A), \
        u("H", 0x38 if is64 else 0x2C)
    if phoff and phentsize and phnum:
        for i in range(phnum):
            h = phoff + i * phentsize
            if u("I", h) == 4:  # PT_NOTE
                ranges.append((u(word, h + (8 if is64 else 4)), u(word, h + (32 if is64 else 16)),
                               u(word, h + (48 if is64 else 28))))
    found = []
    for offset, size, align in ranges:
        if offset is None or size is None:
            continue
        step = 8 if align == 8 else 4
        pad = lambda n: (n + step - 1) & ~(step - 1)
        at, end = offset, min(offset + size, len(data))
        while at + 12 <= end:
            namesz, descsz, ntype = struct.unpack_from(order + "III", data, at)
            name, desc = at + 12, at + 12 + pad(namesz)
            nxt = desc + pad(descsz)
            if nxt > end or nxt <= at:
                break
            if namesz == len(NOTE_NAME) and descsz == 16 and ntype == NOTE_TYPE and \
                    data[name:name + namesz] == NOTE_NAME and desc not in found:
                found.append(desc)
            at = nxt
    return found, order


def pe_fixed_infos(data):
    """Offsets of the VS_FIXEDFILEINFO structures of the version resource."""
    if data[:2] != b"MZ":
        return None
    found = []
    at = data.find(VERSION_KEY)
    while at >= 0:
        block = at - 6  # wLength, wValueLength, wType precede the key
        value = block + ((6 + len(VERSION_KEY) + 3) & ~3)
        if block >= 0 and value + 52 <= len(data) and \
                struct.unpack_from("<I", data, value)[0] == FIXED_INFO_SIGNATURE:
            found.append(value)
        at = data.find(VERSION_KEY, at + 1)
    return found


def patch_version(data, version, remove=False):
    """A copy of the binary with its version record set to version (or removed)."""
    data = bytearray(data)
    pe = pe_fixed_infos(data)
    if pe is not None:
        if not pe:
            raise PackageError("no version resource (VS_FIXEDFILEINFO) in this PE file")
        for at in pe:
            if remove:
                struct.pack_into("<I", data, at, 0)  # no signature: the reader finds no version
                continue
            if any(n > 0xFFFF for n in version):
                raise PackageError("a PE file version has 16-bit parts")
            ms, ls = version[0] << 16 | version[1], version[2] << 16 | version[3]
            struct.pack_into("<IIII", data, at + 8, ms, ls, ms, ls)  # file and product version
        return bytes(data)
    notes, order = elf_notes(data)
    if notes is None:
        raise PackageError("neither an ELF nor a PE file")
    if not notes:
        raise PackageError('no version note (name "Tovarin", type 1) in this ELF file')
    if any(n > 0xFFFFFFFF for n in version):
        raise PackageError("a version part is larger than 32 bits")
    for desc in notes:
        if remove:
            data[desc - 8:desc] = b"\0" * 8  # the note's name: no longer a version note
        else:
            struct.pack_into(order + "IIII", data, desc, *version)
    return bytes(data)


# ---------------------------------------------------------------------------------------------
# Packages


def entry_info(name, mode):
    info = zipfile.ZipInfo(name, FIXED_TIME)
    info.create_system = 3  # unix: the high 16 bits of external_attr are the mode
    if name.endswith("/"):
        info.external_attr = (0o40000 | mode) << 16 | 0x10
    else:
        info.external_attr = (0o100000 | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
    return info


def checked_relative(name):
    parts = name.replace("\\", "/").split("/")
    if not name or name.startswith("/") or any(p in ("", ".", "..") for p in parts) or ":" in parts[0]:
        raise PackageError("not a plain relative path inside the tool folder: %r (use --raw-entry)" % name)
    return "/".join(parts)


def write_zip(out, folder, exe_name, binary, files, raw_entries, empty):
    """files: [(relative name, bytes)] inside folder; raw_entries: [(entry name, bytes)] as given."""
    entries = []
    if not empty:
        folder = checked_relative(folder)
        exe_name = checked_relative(exe_name)
        entries.append((folder + "/", b"", 0o755))
        entries.append((folder + "/" + exe_name, binary, 0o755))
        seen = {folder + "/"}
        for rel, content in files:
            name = folder + "/" + checked_relative(rel)
            parts = name.split("/")
            for i in range(2, len(parts)):
                parent = "/".join(parts[:i]) + "/"
                if parent not in seen:
                    seen.add(parent)
                    entries.append((parent, b"", 0o755))
            entries.append((name, content, 0o644))
    for name, content in raw_entries:
        entries.append((name, content, 0o755 if name.endswith("/") else 0o644))
    tmp = out + ".part"
    with zipfile.ZipFile(tmp, "w") as zf:
        for name, content, mode in entries:
            zf.writestr(entry_info(name, mode), content)
    os.replace(tmp, out)


def name_value(text, what):
    name, sep, value = text.partition("=")
    if not sep:
        raise PackageError("%s needs NAME=VALUE: %r" % (what, text))
    return name, value


def sign(key_pem, package):
    if key_pem:
        packagesign.write_signature(key_pem, package)
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(
        description="Builds a tool package (zip or exe) from the demo tool binary with a chosen file version.",
        epilog="Zip entries: FOLDER/ and FOLDER/EXE+SUFFIX (mode 0755), then each --file (0644) in the order "
               "given, then each --raw-entry exactly as named. Timestamps are fixed, so the output is the same "
               "for the same arguments.")
    ap.add_argument("kind", choices=("zip", "exe"), help="zip: the tool folder in a zip; exe: the binary alone")
    ap.add_argument("-o", "--output", required=True, help="package file to write")
    ap.add_argument("--binary", default=DEFAULT_BINARY, help="the tool binary (default: %(default)s)")
    ap.add_argument("--version", help="file version a.b.c.d written into the binary")
    ap.add_argument("--no-version", action="store_true",
                    help="remove the binary's version record instead: it reads as 0.0.0.0 (a tool never installed)")
    ap.add_argument("--folder", help="zip: the top-level tool folder T")
    ap.add_argument("--exe", help="zip: the executable's name inside T (default: T)")
    ap.add_argument("--suffix", default="", help="zip: appended to the executable's name, e.g. .exe")
    ap.add_argument("--file", action="append", default=[], metavar="REL=TEXT",
                    help="zip: a file T/REL with this UTF-8 text (repeatable)")
    ap.add_argument("--file-from", action="append", default=[], metavar="REL=PATH",
                    help="zip: a file T/REL with the bytes of PATH (repeatable; after the --file entries)")
    ap.add_argument("--raw-entry", action="append", default=[], metavar="NAME=TEXT",
                    help="zip: an entry named exactly NAME (outside T, '../x', a folder 'x/' ...) for bad packages")
    ap.add_argument("--empty", action="store_true",
                    help="zip: leave out T, its executable and the --file entries (only --raw-entry ones remain)")
    ap.add_argument("--sign", metavar="KEY.pem",
                    help="also write OUTPUT.sig, the package's signature made with this Ed25519 key")
    args = ap.parse_args(argv)

    try:
        if args.no_version == bool(args.version):
            raise PackageError("give either --version a.b.c.d or --no-version")
        version = [0, 0, 0, 0] if args.no_version else parse_version(args.version)
        if args.sign:
            packagesign.public_key_line(args.sign)  # an unusable key fails before anything is written
        try:
            with open(args.binary, "rb") as f:
                original = f.read()
        except OSError as e:
            raise PackageError("cannot read the binary: %s" % e)
        binary = patch_version(original, version, remove=args.no_version)
        out = os.path.abspath(args.output)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        if args.kind == "exe":
            tmp = out + ".part"
            with open(tmp, "wb") as f:
                f.write(binary)
            os.chmod(tmp, 0o755)
            os.replace(tmp, out)
            return sign(args.sign, out)
        if not args.empty and not args.folder:
            raise PackageError("zip packages need --folder (or --empty)")
        files = [(n, v.encode("utf-8")) for n, v in (name_value(t, "--file") for t in args.file)]
        for text in args.file_from:
            rel, path = name_value(text, "--file-from")
            try:
                with open(path, "rb") as f:
                    files.append((rel, f.read()))
            except OSError as e:
                raise PackageError("cannot read %s: %s" % (path, e))
        raw = [(n, v.encode("utf-8")) for n, v in (name_value(t, "--raw-entry") for t in args.raw_entry)]
        folder = args.folder or ""
        write_zip(out, folder, (args.exe or folder) + args.suffix, binary, files, raw, args.empty)
        return sign(args.sign, out)
    except (PackageError, packagesign.SigningError, OSError) as e:
        sys.stderr.write("toolpackage: %s\n" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
