"""Authenticode's signature in a PE file: read it out of a signed exe, and attach it to an unsigned one.

By hand, not with a signing tool, because of who calls it: verify_release.py reads a published
exe, which may be anyone's, hostile included, and a tool that parses whole certificate tables is
more than that needs. Moving a signature needs only a few offsets of the PE headers, each read
within the file's bounds (struct.error otherwise), and one checksum; every other byte is left as
it was, so that any other difference shows up in the comparison of the two zips.
"""
import struct

WIN_CERTIFICATE = struct.Struct("<IHH")             # dwLength, wRevision, wCertificateType
CERT_REVISION_2_0, CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002


def pe_fields(exe):
    """Offsets of the PE checksum and of the security directory entry (offset, size)."""
    header = struct.unpack_from("<I", exe, 0x3C)[0]
    if exe[header:header + 4] != b"PE\0\0":
        raise struct.error("no PE signature")
    magic = struct.unpack_from("<H", exe, header + 24)[0]
    return header + 24 + 64, header + 24 + (96 if magic == 0x10B else 112) + 4 * 8


def pe_checksum(exe, at):
    total = 0
    for (word,) in struct.iter_unpack("<H", exe[:at] + b"\0\0\0\0" + exe[at + 4:] + b"\0" * (len(exe) % 2)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(exe)) & 0xFFFFFFFF


def signature(exe):
    """The DER-encoded PKCS#7 signature that the exe's certificate table holds, or None if unsigned.
    Raises struct.error for headers or a table that do not hold together."""
    _, directory = pe_fields(exe)
    offset, size = struct.unpack_from("<II", exe, directory)
    if not offset and not size:
        return None
    length, _, _ = WIN_CERTIFICATE.unpack_from(exe, offset)
    if not WIN_CERTIFICATE.size < length <= size or offset + size > len(exe):
        raise struct.error("the certificate table runs outside the file")
    der = exe[offset + 8:offset + length]
    if der[:1] != b"\x30" or len(der) < 2:
        raise struct.error("the certificate is not a DER sequence")
    count, body = 0, der[1]
    if body & 0x80:
        count = body & 0x7F
        if not 1 <= count <= 4 or len(der) < 2 + count:
            raise struct.error("the certificate's length is not a definite DER length")
        body = int.from_bytes(der[2:2 + count], "big")
    if 2 + count + body > len(der):
        raise struct.error("the certificate is longer than its table")
    return der[:2 + count + body]


def with_signature(unsigned, der):
    """`unsigned` with `der` attached as osslsigncode attaches it: the file padded to 8 bytes, one
    WIN_CERTIFICATE padded to 8, the security directory pointed at it, the PE checksum redone. Any
    byte of a published signed exe outside this shape, junk in its table included, then differs."""
    body = unsigned + b"\0" * (-len(unsigned) % 8)
    padding = b"\0" * (-len(der) % 8)
    table = WIN_CERTIFICATE.pack(WIN_CERTIFICATE.size + len(der) + len(padding), CERT_REVISION_2_0,
                                 CERT_TYPE_PKCS_SIGNED_DATA) + der + padding
    exe = bytearray(body + table)
    at, directory = pe_fields(unsigned)
    struct.pack_into("<II", exe, directory, len(body), len(table))
    struct.pack_into("<I", exe, at, pe_checksum(bytes(exe), at))
    return bytes(exe)
