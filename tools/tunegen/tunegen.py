#!/usr/bin/env python3
"""Builds the built-in tunes from their readable sources and checks them.

  tunegen.py            write resources/Tunes/<id>.mid, src/Music/TextTunes.h and imported.tsv
                        (what the program's MIDI import must make of each piece: a reference for tests)
  tunegen.py --check    verify sources, that the committed files match them, and
                        read every .mid back the way the program imports it
  tunegen.py --show ID  print what the import makes of one piece (bars, range, tonic, opening notes)

Source files (tools/tunegen/sources/<id>.tune) use the tune text notation of the program
(note names, ":duration" that persists, "r" rests, ">" accents, "|" bar lines) with a few
additions that only this generator understands:

  key: value          header lines before the first [track]: name, tempo (quarter notes per
                      minute written to the file), time (e.g. 3/4), key (sharps, negative for
                      flats, and "major" or "minor"), tonic (the pitch class the import must find),
                      melodybelow ("yes" where the tune lies under its accompaniment)
  [track Name]        starts the next MIDI track (track 0 is always the conductor track)
  [voice]             starts another voice in the current track, from beat 0 again
  C4+E4+G4            a chord: every note of the token starts together with the same duration
  C5~ or C5:2~        a tie: the next C5 that starts where this one ends lengthens it instead
  ( ... )*N           repeats the enclosed tokens N times
  # ...               a comment to the end of the line ("#" at the start of a word)

Every voice of every track must have the same bar list, so the parts stay aligned.
"""
import math
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
SOURCES = os.path.join(HERE, "sources")
TUNES_DIR = os.path.join(ROOT, "resources", "Tunes")
HEADER = os.path.join(ROOT, "src", "Music", "TextTunes.h")
IMPORTED = os.path.join(HERE, "imported.tsv")
TPQ = 480
NAMES = ["C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B"]

sys.path.insert(0, HERE)


class TuneError(Exception):
    pass


# ---------------------------------------------------------------- the program's notation

def midi(name):
    """A note name to its MIDI number, or None (letter, one accidental, signed octave)."""
    if not name or name[0] not in "CDEFGAB":
        return None
    pc = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}[name[0]]
    rest = name[1:]
    if rest[:1] == "#":
        pc += 1
        rest = rest[1:]
    elif rest[:1] == "b":
        pc -= 1
        rest = rest[1:]
    if not re.fullmatch(r"[+-]?[0-9]+", rest):
        return None
    return (int(rest) + 1) * 12 + pc


def _number(text):
    if not re.fullmatch(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?", text):
        return None
    return float(text)


def duration(text):
    pieces = [p for p in text.split("/") if p]
    if len(pieces) == 1:
        v = _number(pieces[0])
        return v if v is not None and v > 0 else None
    if len(pieces) == 2:
        a, b = _number(pieces[0]), _number(pieces[1])
        if a is None or b is None or not b > 0:
            return None
        return a / b
    return None


def parse(text, tonic, ident, chords=False):
    """Parses tune text. Returns (notes, bars, length); a note is (beat, length, semitones, velocity).

    With chords=True a token may join several note names with "+" (the generator's extension)."""
    pos, dur, bar_start = 0.0, 1.0, 0.0
    notes, bars = [], []
    open_ties = {}  # key -> index of a note that the next note of that key continues
    for token in text.split():
        if token == "|":
            bars.append(pos - bar_start)
            bar_start = pos
            continue
        accent = token.startswith(">")
        if accent:
            token = token[1:]
        if not token:
            raise TuneError(f"{ident}: empty token")
        tie_all = chords and token.endswith("~")
        if tie_all:
            token = token[:-1]
        name, _, d = token.partition(":")
        if d:
            value = duration(d)
            if value is None:
                raise TuneError(f"{ident}: bad duration in {token!r}")
            dur = value
        if not name:
            raise TuneError(f"{ident}: token without a name: {token!r}")
        if name != "r":
            parts = name.split("+") if chords else [name]
            for part in parts:
                tie = tie_all or (chords and part.endswith("~"))
                if chords and part.endswith("~"):
                    part = part[:-1]
                key = midi(part)
                if key is None:
                    raise TuneError(f"{ident}: not a note name: {part!r} in {token!r}")
                held = open_ties.pop(key, None)
                if held is not None and abs(notes[held][0] + notes[held][1] - pos) < 1e-9:
                    b, l, s, v = notes[held]
                    notes[held] = (b, l + dur, s, v)
                    index = held
                else:
                    if accent:
                        vel = 0.95
                    elif abs(pos - bar_start) < 1e-9:
                        vel = 0.82
                    else:
                        vel = 0.7
                    notes.append((pos, dur, key - tonic, vel))
                    index = len(notes) - 1
                if tie:
                    open_ties[key] = index
        pos += dur
    if pos - bar_start > 1e-9:
        bars.append(pos - bar_start)
    return notes, bars, pos


def expand_repeats(tokens, ident):
    out, stack = [], [[]]
    for t in tokens:
        if t == "(":
            stack.append([])
        elif re.fullmatch(r"\)\*[0-9]+", t):
            if len(stack) < 2:
                raise TuneError(f"{ident}: unmatched {t}")
            body = stack.pop()
            stack[-1].extend(body * int(t[2:]))
        else:
            stack[-1].append(t)
    if len(stack) != 1:
        raise TuneError(f"{ident}: unclosed (")
    return stack[0]


# ---------------------------------------------------------------- sources of the classics

class Piece:
    def __init__(self, ident):
        self.id = ident
        self.header = {}
        self.tracks = []  # (name, [voice texts])


def read_source(path):
    ident = os.path.splitext(os.path.basename(path))[0]
    piece = Piece(ident)
    for raw in open(path, encoding="utf-8"):
        # "#" also spells a sharp, so a comment starts only where "#" begins a word.
        line = re.split(r"(?:^|\s)#", raw, maxsplit=1)[0].rstrip()
        if not line.strip():
            continue
        m = re.fullmatch(r"\s*\[track\s+(.*)\]\s*", line)
        if m:
            piece.tracks.append((m.group(1).strip(), [""]))
            continue
        if re.fullmatch(r"\s*\[voice\]\s*", line):
            if not piece.tracks:
                raise TuneError(f"{ident}: [voice] before [track]")
            piece.tracks[-1][1].append("")
            continue
        if not piece.tracks:
            m = re.fullmatch(r"\s*([a-z]+)\s*:\s*(.*)", line)
            if not m:
                raise TuneError(f"{ident}: bad header line {line!r}")
            piece.header[m.group(1)] = m.group(2).strip()
            continue
        voices = piece.tracks[-1][1]
        voices[-1] += " " + line
    for key in ("name", "tempo", "time", "key", "tonic"):
        if key not in piece.header:
            raise TuneError(f"{ident}: header {key} missing")
    num, den = piece.header["time"].split("/")
    piece.num, piece.den = int(num), int(den)
    piece.beats_per_bar = 4 * piece.num / piece.den
    sharps, mode = piece.header["key"].split()
    piece.sharps, piece.minor = int(sharps), mode == "minor"
    piece.tempo = float(piece.header["tempo"])
    key = midi(piece.header["tonic"] + "4")
    if key is None:
        raise TuneError(f"{ident}: tonic must be a pitch name such as C, F# or Bb")
    piece.tonic_pc = key % 12
    # Parse every voice; all must share one bar list.
    piece.parsed = []
    reference = None
    for index, (name, voices) in enumerate(piece.tracks):
        track_notes = []
        for v, text in enumerate(voices):
            label = f"{ident} track {index + 1} voice {v + 1}"
            tokens = expand_repeats(text.split(), label)
            notes, bars, length = parse(" ".join(tokens), 0, label, chords=True)
            if not notes:
                raise TuneError(f"{label}: no notes")
            if reference is None:
                reference = (bars, label)
            elif not same_bars(bars, reference[0]):
                raise TuneError(f"{label}: bars {describe_bars(bars)} differ from "
                                f"{reference[1]}: {describe_bars(reference[0])}")
            track_notes.extend(notes)
        piece.parsed.append((name, track_notes))
    bars = reference[0]
    inner = bars[1:-1]
    for i, b in enumerate(inner):
        if abs(b - piece.beats_per_bar) > 1e-9:
            raise TuneError(f"{ident}: bar {i + 2} lasts {b:g} beats, not {piece.beats_per_bar:g}")
    for which, b in (("first", bars[0]), ("last", bars[-1])):
        if b > piece.beats_per_bar + 1e-9:
            raise TuneError(f"{ident}: {which} bar lasts {b:g} beats")
    if abs(bars[0] - piece.beats_per_bar) > 1e-9:
        raise TuneError(f"{ident}: write a pickup as rests filling the first bar, so bar lines fall "
                        f"where the import puts them")
    piece.bars = bars
    return piece


def same_bars(a, b):
    return len(a) == len(b) and all(abs(x - y) < 1e-9 for x, y in zip(a, b))


def describe_bars(bars):
    return f"{len(bars)} bars [" + " ".join(f"{b:g}" for b in bars) + "]"


# ---------------------------------------------------------------- writing Standard MIDI Files

def varlen(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    return bytes(reversed(out))


def track_chunk(events):
    """events: (tick, order, bytes); order sorts note-offs before note-ons at one tick."""
    data = bytearray()
    last = 0
    for tick, _, payload in sorted(events, key=lambda e: (e[0], e[1])):
        data += varlen(tick - last) + payload
        last = tick
    data += varlen(0) + b"\xff\x2f\x00"
    return b"MTrk" + struct.pack(">I", len(data)) + bytes(data)


def meta(kind, payload):
    return bytes([0xFF, kind]) + varlen(len(payload)) + payload


def restrike(notes):
    """Voices of one track may meet on a key. A reader pairs note-offs first in, first out, so
    an overlap would swap the lengths: the earlier note ends where the later one starts, and
    two that start together become one, the longer."""
    ordered = sorted(notes, key=lambda n: (n[2], n[0], -n[1]))
    kept = []
    for note in ordered:
        if kept and kept[-1][2] == note[2]:
            b, l, k, v = kept[-1]
            if abs(note[0] - b) < 1e-9:
                continue
            if note[0] < b + l - 1e-9:
                kept[-1] = (b, note[0] - b, k, v)
        kept.append(note)
    return sorted(kept, key=lambda n: (n[0], n[2]))


def build_midi(piece):
    tracks = []
    conductor = [
        (0, 0, meta(0x03, piece.header["name"].encode("utf-8"))),
        (0, 1, meta(0x51, struct.pack(">I", round(60_000_000 / piece.tempo))[1:])),
        (0, 2, meta(0x58, bytes([piece.num, piece.den.bit_length() - 1, 24, 8]))),
        (0, 3, meta(0x59, struct.pack(">bB", piece.sharps, 1 if piece.minor else 0))),
    ]
    tracks.append(track_chunk(conductor))
    for index, (name, notes) in enumerate(piece.parsed):
        channel = index  # channels 0, 1, 2, ...: never the drum channel 9
        notes = restrike(notes)
        events = [(0, 0, meta(0x03, name.encode("utf-8"))),
                  (0, 1, bytes([0xC0 | channel, 0]))]  # acoustic grand piano
        for beat, length, key, vel in notes:
            on = round(beat * TPQ)
            off = round((beat + length) * TPQ)
            # A short gap keeps repeated notes distinct on any synthesizer.
            off = max(on + 1, off - min(12, (off - on) // 8))
            velocity = max(1, min(127, round(vel * 127)))
            events.append((off, 2, bytes([0x80 | channel, key, 0])))
            events.append((on, 3, bytes([0x90 | channel, key, velocity])))
        tracks.append(track_chunk(events))
    header = b"MThd" + struct.pack(">IHHH", 6, 1, len(tracks), TPQ)
    return header + b"".join(tracks)


# ---------------------------------------------------------------- reading back, as the program does

def read_midi(data):
    if len(data) < 14 or data[:4] != b"MThd":
        raise TuneError("not MIDI")
    hlen, fmt, ntracks, division = struct.unpack(">IHHH", data[4:14])
    pos = 8 + hlen
    result = {"format": fmt, "tpq": division, "notes": [], "tempo": None, "time": None,
              "key": None, "names": {}}
    track = 0
    while track < ntracks and pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack(">I", data[pos + 4:pos + 8])[0]
        pos += 8
        body = data[pos:pos + size]
        pos += size
        if cid != b"MTrk":
            continue
        read_track(body, track, result)
        track += 1
    result["ntracks"] = track
    result["notes"].sort(key=lambda n: (n["tick"], n["key"], n["track"]))
    return result


def read_track(body, track, result):
    p, tick, status, open_notes = 0, 0, None, {}

    def vl():
        nonlocal p
        value = 0
        for _ in range(4):
            b = body[p]
            p += 1
            value = (value << 7) | (b & 0x7F)
            if not b & 0x80:
                return value
        raise TuneError("varlen too long")

    def close(ch, key, end):
        t, v = open_notes[(ch, key)].pop(0)
        result["notes"].append({"tick": t, "length": max(end - t, 1), "key": key,
                                "velocity": v, "channel": ch, "track": track})

    while p < len(body):
        tick += vl()
        b = body[p]
        if b & 0x80:
            p += 1
            s = b
        else:
            if status is None:
                raise TuneError("data byte without running status")
            s = status
        if s == 0xFF:
            kind = body[p]
            p += 1
            n = vl()
            payload = body[p:p + n]
            p += n
            status = None
            if kind == 0x03 and track not in result["names"]:
                name = payload.decode("utf-8", "replace").strip()
                if name:
                    result["names"][track] = name
            elif kind == 0x51 and result["tempo"] is None and n >= 3:
                result["tempo"] = int.from_bytes(payload[:3], "big")
            elif kind == 0x58 and result["time"] is None and n >= 2:
                result["time"] = (payload[0], 2 ** min(payload[1], 6))
            elif kind == 0x59 and result["key"] is None and n >= 2:
                result["key"] = (struct.unpack("b", payload[:1])[0], payload[1] == 1)
            elif kind == 0x2F:
                break
            continue
        if s in (0xF0, 0xF7):
            n = vl()
            p += n
            status = None
            continue
        if s >= 0xF0:
            raise TuneError("system message inside a track")
        ch, kind = s & 0x0F, s & 0xF0
        d1 = body[p]
        p += 1
        d2 = 0
        if kind not in (0xC0, 0xD0):
            d2 = body[p]
            p += 1
        if kind == 0x90 and d2 & 0x7F:
            open_notes.setdefault((ch, d1 & 0x7F), []).append((tick, d2 & 0x7F))
        elif kind == 0x80 or kind == 0x90:
            if open_notes.get((ch, d1 & 0x7F)):
                close(ch, d1 & 0x7F, tick)
        status = s
    for (ch, key), entries in open_notes.items():
        if entries:
            end = max(tick, entries[-1][0] + 1)
            while entries:
                close(ch, key, end)


def import_midi(file, bass_tracks, bpm=None):
    """What the program's MIDI import makes of a file: a dict like a Melody."""
    notes = [n for n in file["notes"] if n["channel"] != 9]
    if not notes:
        raise TuneError("no notes")
    bass_set = set(bass_tracks)
    melody = [n for n in notes if n["track"] not in bass_set]
    bass = [n for n in notes if n["track"] in bass_set]
    t = bpm if bpm is not None else (60_000_000 / file["tempo"] if file["tempo"] else 120)
    t = min(max(t, 30), 300)
    tempo = int(t * 10 + 0.5) / 10
    num, den = file["time"] if file["time"] else (4, 4)
    bpb = max(4 * num / max(den, 1), 0.5)
    tpq = file["tpq"]
    first = min(n["tick"] for n in notes) / tpq
    start = bpb * (first // bpb)
    end = max(n["tick"] + n["length"] for n in notes) / tpq
    length = max(bpb * math.ceil((end - start) / bpb - 0.000001), bpb)
    keys = sorted(n["key"] for n in melody)
    median = keys[len(keys) // 2] if keys else 60
    if file["key"] and (file["key"][0] != 0 or file["key"][1]):
        sharps, minor = file["key"]
        pc = (7 * sharps) % 12
        if minor:
            pc = pc + 9 if pc < 3 else pc - 3
    else:
        last = max(n["tick"] for n in notes)
        pc = min(n["key"] for n in notes if n["tick"] + n["length"] > last) % 12
    tonic = pc + 12 * (median // 12)
    if tonic - median >= 7:
        tonic -= 12
    elif median - tonic >= 7:
        tonic += 12

    def convert(n, scale):
        return (n["tick"] / tpq - start, n["length"] / tpq, n["key"] - tonic,
                min(n["velocity"] / 127 * scale, 1))

    return {"bpm": tempo, "beatsPerBar": bpb, "tonic": tonic, "length": length,
            "notes": [convert(n, 1) for n in melody], "bass": [convert(n, 0.55) for n in bass],
            "melodyKeys": keys, "bassKeys": sorted(n["key"] for n in bass)}


# ---------------------------------------------------------------- the tables

def load_classics():
    rows = []
    with open(os.path.join(HERE, "classics.tsv"), encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            if not line.strip():
                continue
            row = dict(zip(header, line.rstrip("\n").split("\t")))
            row["bpm"] = float(row["bpm"]) if row["bpm"] != "none" else None
            row["bassTracks"] = [int(x) for x in row["bassTracks"].split(",") if x]
            rows.append(row)
    return rows


def note_name(key):
    return f"{NAMES[key % 12]}{key // 12 - 1}"


def cpp_string(text):
    out = text.replace("\\", "\\\\").replace('"', '\\"')
    return '"' + out.replace("\n", "\\n") + '"'


def header_text(tunes):
    lines = [
        "#pragma once",
        "",
        "// Generated by tools/tunegen/tunegen.py from tools/tunegen/texttunes.py; edit the tunes there.",
        "",
        "#include <array>",
        "#include <string_view>",
        "",
        "namespace veltrane {",
        "",
        "// One built-in tune in the tune text notation. Melody and bass have the same bar list.",
        "struct TextTune {",
        "    std::string_view id;",
        "    std::string_view name;",
        "    std::string_view credit;",
        "    double bpm;",
        "    double beatsPerBar;",
        "    std::string_view tonic;",
        "    std::string_view score;",
        "    std::string_view bass;",
        "};",
        "",
        f"inline constexpr std::array<TextTune, {len(tunes)}> textTunes{{{{",
    ]
    for t in tunes:
        lines.append("    TextTune{")
        lines.append(f"        {cpp_string(t['id'])},")
        lines.append(f"        {cpp_string(t['name'])},")
        lines.append(f"        {cpp_string(t['credit'])},")
        lines.append(f"        {t['bpm']:g},")
        lines.append(f"        {t['beatsPerBar']:g},")
        lines.append(f"        {cpp_string(t['tonic'])},")
        for key in ("score", "bass"):
            phrases = t[key].strip("\n").split("\n")
            parts = [cpp_string(p + ("\n" if i < len(phrases) - 1 else ""))
                     for i, p in enumerate(phrases)]
            lines.append("        " + ("\n        ".join(parts)) + ",")
        lines.append("    },")
    lines += ["}};", "", "} // namespace veltrane", ""]
    return "\n".join(lines)


def check_text_tunes(tunes, problems):
    for t in tunes:
        tonic = midi(t["tonic"])
        if tonic is None:
            problems.append(f"{t['id']}: tonic {t['tonic']} is not a note name")
            continue
        try:
            notes, bars, length = parse(t["score"], tonic, t["id"])
            bnotes, bbars, blength = parse(t["bass"], tonic, t["id"] + " bass")
        except TuneError as e:
            problems.append(str(e))
            continue
        if len(bars) != t["bars"]:
            problems.append(f"{t['id']}: {len(bars)} melody bars, table says {t['bars']}")
        if not same_bars(bars, bbars):
            problems.append(f"{t['id']}: melody {describe_bars(bars)} but bass {describe_bars(bbars)}")
        if abs(length - blength) > 1e-9:
            problems.append(f"{t['id']}: melody length {length:g}, bass length {blength:g}")
        for b in bars[1:-1]:
            if abs(b - t["beatsPerBar"]) > 1e-9:
                problems.append(f"{t['id']}: inner bar of {b:g} beats in {describe_bars(bars)}")
                break
        for label, ns, lo, hi in (("melody", notes, 55, 96), ("bass", bnotes, 28, 62)):
            keys = [tonic + n[2] for n in ns]
            if not keys:
                problems.append(f"{t['id']}: no {label} notes")
            elif min(keys) < lo or max(keys) > hi:
                problems.append(f"{t['id']}: {label} range {note_name(min(keys))}..{note_name(max(keys))}")


def source_path(ident):
    return os.path.join(SOURCES, ident + ".tune")


def generate(only_check):
    import texttunes
    problems = []
    tunes = texttunes.TUNES
    check_text_tunes(tunes, problems)
    header = header_text(tunes)
    if only_check:
        if not os.path.exists(HEADER) or open(HEADER, encoding="utf-8").read() != header:
            problems.append("src/Music/TextTunes.h is not up to date; run tools/tunegen/tunegen.py")
    else:
        os.makedirs(os.path.dirname(HEADER), exist_ok=True)
        with open(HEADER, "w", encoding="utf-8") as f:
            f.write(header)
    rows = load_classics()
    if len(rows) != 40:
        problems.append(f"classics.tsv has {len(rows)} rows")
    ids = [r["id"] for r in rows]
    if len(set(ids)) != len(ids):
        problems.append("classics.tsv has duplicate ids")
    os.makedirs(TUNES_DIR, exist_ok=True)
    imported = ["id\tbpm\tbeatsPerBar\ttonic\tlength\tmelodyNotes\tbassNotes"]
    for row in rows:
        path = source_path(row["id"])
        if not os.path.exists(path):
            problems.append(f"{row['id']}: no source")
            continue
        try:
            piece = read_source(path)
            data = build_midi(piece)
            target = os.path.join(TUNES_DIR, row["id"] + ".mid")
            if only_check:
                if not os.path.exists(target) or open(target, "rb").read() != data:
                    problems.append(f"{row['id']}.mid is not up to date; run tools/tunegen/tunegen.py")
            else:
                with open(target, "wb") as f:
                    f.write(data)
            melody = check_piece(row, piece, data, problems)
            imported.append(f"{row['id']}\t{melody['bpm']:g}\t{melody['beatsPerBar']:g}\t{melody['tonic']}\t"
                            f"{melody['length']:g}\t{len(melody['notes'])}\t{len(melody['bass'])}")
        except TuneError as e:
            problems.append(str(e))
    imported_text = "\n".join(imported) + "\n"
    if only_check:
        if not os.path.exists(IMPORTED) or open(IMPORTED, encoding="utf-8").read() != imported_text:
            problems.append("tools/tunegen/imported.tsv is not up to date; run tools/tunegen/tunegen.py")
    else:
        with open(IMPORTED, "w", encoding="utf-8") as f:
            f.write(imported_text)
    if not only_check:
        known = {r["id"] + ".mid" for r in rows}
        for name in os.listdir(TUNES_DIR):
            if name.endswith(".mid") and name not in known:
                problems.append(f"resources/Tunes/{name} belongs to no row")
    return problems


def check_piece(row, piece, data, problems):
    ident = row["id"]
    file = read_midi(data)
    if file["format"] != 1 or file["tpq"] != TPQ:
        problems.append(f"{ident}: format {file['format']}, division {file['tpq']}")
    bass_tracks = row["bassTracks"]
    for t in bass_tracks:
        if t < 1 or t >= file["ntracks"]:
            problems.append(f"{ident}: bass track {t} is not a note track of {file['ntracks']} tracks")
    if bass_tracks and len(bass_tracks) >= file["ntracks"] - 1:
        problems.append(f"{ident}: every note track is bass")
    if not bass_tracks and file["ntracks"] < 2:
        problems.append(f"{ident}: no note track")
    if any(n["channel"] == 9 for n in file["notes"]):
        problems.append(f"{ident}: notes on the drum channel")
    melody = import_midi(file, bass_tracks, row["bpm"])
    if melody["tonic"] % 12 != piece.tonic_pc:
        problems.append(f"{ident}: import finds tonic {note_name(melody['tonic'])}, source says "
                        f"{piece.header['tonic']}")
    if abs(melody["beatsPerBar"] - piece.beats_per_bar) > 1e-9:
        problems.append(f"{ident}: bar length {melody['beatsPerBar']}")
    total = sum(piece.bars)
    expected_length = piece.beats_per_bar * len(piece.bars)
    if abs(melody["length"] - expected_length) > 1e-9:
        problems.append(f"{ident}: import length {melody['length']:g}, source {total:g} beats "
                        f"in {len(piece.bars)} bars")
    if not 4 <= len(piece.bars) <= 40:
        problems.append(f"{ident}: {len(piece.bars)} bars")
    mk, bk = melody["melodyKeys"], melody["bassKeys"]
    if not mk:
        problems.append(f"{ident}: no melody notes")
    elif mk[0] < 21 or mk[-1] > 108:
        problems.append(f"{ident}: melody range {note_name(mk[0])}..{note_name(mk[-1])} off the piano")
    if bass_tracks and not bk:
        problems.append(f"{ident}: no bass notes")
    if bk and (bk[0] < 21 or bk[-1] > 84):
        problems.append(f"{ident}: bass range {note_name(bk[0])}..{note_name(bk[-1])}")
    if bk and mk and sum(bk) / len(bk) >= sum(mk) / len(mk) and \
            piece.header.get("melodybelow") != "yes":
        problems.append(f"{ident}: bass sits above the melody on average")
    if file["names"].get(0) != piece.header["name"]:
        problems.append(f"{ident}: conductor track name {file['names'].get(0)!r}")
    if row["name"] != piece.header["name"]:
        problems.append(f"{ident}: source name {piece.header['name']!r}, table {row['name']!r}")
    return melody


def show(ident):
    rows = {r["id"]: r for r in load_classics()}
    row = rows[ident]
    piece = read_source(source_path(ident))
    file = read_midi(build_midi(piece))
    m = import_midi(file, row["bassTracks"], row["bpm"])
    mk, bk = m["melodyKeys"], m["bassKeys"]
    print(f"{ident}: {row['name']} / {row['credit']}")
    print(f"  bpm {m['bpm']:g}, {m['beatsPerBar']:g} beats per bar, {len(piece.bars)} bars, "
          f"length {m['length']:g}, tonic {note_name(m['tonic'])}")
    print(f"  melody {len(mk)} notes {note_name(mk[0])}..{note_name(mk[-1])}; bass {len(bk)} notes"
          + (f" {note_name(bk[0])}..{note_name(bk[-1])}" if bk else ""))
    line = [f"{n[0]:g}:{note_name(m['tonic'] + n[2])}" for n in m["notes"][:24]]
    print("  opening: " + " ".join(line))


def main(argv):
    if len(argv) > 1 and argv[1] == "--show":
        for ident in argv[2:]:
            show(ident)
        return 0
    problems = generate(only_check=len(argv) > 1 and argv[1] == "--check")
    for p in problems:
        print("tunegen: " + p, file=sys.stderr)
    if not problems:
        print("tunegen: 11 text tunes and 40 classics are consistent")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
