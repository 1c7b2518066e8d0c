"""Test samples that other scanners flag, kept XOR'd in the repository and
decoded only when a test or the demo writes them.

    python3 samples.py demo <folder>    writes the demo folder's samples
"""
import os
import sys

_KEY = 0x5A


def _decode(hex_text):
    return bytes(b ^ _KEY for b in bytes.fromhex(hex_text))


# The standard 68-byte EICAR anti-virus test file.
_EICAR = ("026f157b0a7f1a1b0a016e060a00026f6e720a04736d1919736d277e1f13191b0877090e1b141e1b08"
          "1e771b140e130c13080f09770e1f090e771c13161f7b7e12711270")

# The suspicious API names and script words the inspection counts, '|'-joined.
_API = ("19283f3b2e3f083f37352e3f0e32283f3b3e260d28332e3f0a2835393f2929173f3735282326083f3b3e"
        "0a2835393f2929173f37352823260c33282e2f3b361b363635391f22260c33282e2f3b360a28352e3f"
        "392e1f2226093f2e0d33343e352d29123535311f22261d3f2e1b29233439113f23092e3b2e3f261d3f"
        "2e1c35283f3d28352f343e0d33343e352d260f08161e352d3436353b3e0e351c33363f26142e0f3437"
        "3b2a0c333f2d153c093f392e33353426082e361e3f3935372a283f2929182f3c3c3f282613291e3f38"
        "2f3d3d3f280a283f293f342e2619283f3b2e3f0e353536323f362a696809343b2a2932352e260a2835"
        "393f292969681c3328292e261b3e302f292e0e35313f340a28332c33363f3d3f2926093b3713193534"
        "343f392e2617333733313b2e2026293f312f2836293b262a293f223f392613342c35313f77083f3c36"
        "3f392e332c3f0a1f1334303f392e333534")
_SCRIPT = ("33342c35313f7737333733313b2e2026773f3439353e3f3e393537373b343e26773f34397a263c2835"
           "37383b293f6c6e292e2833343d263e352d3436353b3e292e2833343d262d293928332a2e7429323f"
           "36362629323f3636743b2a2a3633393b2e33353426283f3d7a3b3e3e26343f2e7a2f293f2826343f"
           "2e7a3635393b363d28352f2a262939322e3b2931292638232a3b2929262a352d3f2829323f363626"
           "393f282e2f2e33367a773e3f39353e3f2638332e293b3e373334263729322e3b26282f343e363669"
           "68262d3733397a2a2835393f29297a393b36367a39283f3b2e3f")

EICAR_MARKER = b"EICAR-STANDARD-" + b"ANTIVIRUS-TEST-FILE"


def eicar():
    """The standard EICAR test file."""
    return _decode(_EICAR)


def api_words():
    return _decode(_API).split(b"|")


def script_words():
    return _decode(_SCRIPT).split(b"|")


def pe_with_apis(count, mz=True, pad=64):
    """An executable-looking file naming the first `count` API keywords in
    its import table (after NUL bytes)."""
    head = b"MZ" if mz else b"PE"
    return head + b"\0" * pad + b"\0".join(api_words()[:count]) + b"\0"


def script_with(*indexes):
    """Script text holding the script keywords of the given table indexes."""
    words = script_words()
    return b"@echo off\r\n" + b"\r\n".join(words[i] for i in indexes) + b"\r\n"


def demo(folder):
    """The demo folder: the EICAR file and a few heuristic samples."""
    os.makedirs(folder, exist_ok=True)
    files = {
        "eicar.com": eicar(),
        "invoice.pdf.exe": b"not really a program\r\n",
        "holiday-photos.txt": b"MZ" + b"\0" * 62 + b"disguised program",
        "dropper.exe": pe_with_apis(4),
        "update.ps1": script_with(12, 2, 11),  # powershell, -enc, bypass
        "notes.exe": b"MZ" + b"\0" * 62 + b"an ordinary program",
    }
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    return sorted(files)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "demo":
        for n in demo(sys.argv[2]):
            print(n)
    else:
        sys.exit(__doc__)
