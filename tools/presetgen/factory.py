#!/usr/bin/env python3
"""Writes resources/Presets/factory-presets.json from the table below: the sixteen factory presets.

Each row is a place (formula, centre, zoom, rotation, palette, Julia constant) and the sound made
for it (changes from the synthesizer's defaults, scale and root). Deep places carry the exact
centre as decimal text (from misiurewicz.py); their double centre, log2 of the zoom and iteration
count are derived here the way the instrument derives them.

  python3 tools/presetgen/factory.py [--probe FILE]   (--probe: the sounds as veltrane-probe presets)
"""
import json
import math
import sys
from decimal import Decimal
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

# Misiurewicz points (tools/presetgen/misiurewicz.py), 130 decimals.
SEAHORSE_SPIRAL = (  # M_{24,1} in the seahorse valley, multiplier 1.0387: a slow spiral at every depth
    "-0.7756837680090537974694835039347410457282465046158003947949520014006660172228195898948831593687822550282522966890509725089429917908",
    "0.1364673682946901247332744096178487651977721115924676964078001954008356659748155008754486112441786566257068230597598360099024693926")
ANTENNA_STAR = (  # M_{4,1} near the top of the set, multiplier 1.328: a three-armed branch point
    "-0.1010963638456221610257854457386225654638054428262534838769311776607808407404705842748212198105167790334045319085567411939715461443",
    "0.9562865108091415007710960577299774358098333365105291700343143215005246590657167325269784107873398072043444724926469284366752406567")
NORTHEAST_BRANCH = (  # M_{4,1} on the upper right of the set, multiplier 2.458: a branching filament
    "0.3439069959725680883955224450964639271202514333174846735793747327903233924665943277627927256125630810303760806487885536213707643226",
    "0.7006200202350049313227230120574501064417901566056106366805665740251025257862315267488955818398587218611523199754662798844669737583")

DEFAULTS = dict(
    frequency=220, harmonicRatio=1, filterCutoff=2000, filterQ=2, filterType="lowpass", filterRolloff=-12,
    distortionAmount=0, reverbWet=0.3, reverbDecay=2.5, delayTime=0.25, delayFeedback=0.3, delayWet=0.2,
    lfoRate=1, volume=0.5, fmModIndex=2, chorusAmount=0.3, stereoWidth=0.7, noiseLevel=0, noiseType="white",
    bitCrushDepth=16, phaserRate=0.5, phaserDepth=0, pitchShift=0, freqShift=0, subLevel=0.25, glide=0.06,
    glue=0.35, synthMode="subtractive")

PRESETS = [
    dict(id="home", name="Home", type="mandelbrot", centre=(-0.5, 0), zoom=1, palette="obsidian",
         scale="minor", root=9,
         sound=dict(frequency=110, filterCutoff=1400, filterQ=3, reverbWet=0.35, reverbDecay=3, subLevel=0.35)),
    dict(id="seahorse-valley", name="Seahorse Valley", type="mandelbrot", centre=(-0.7453, 0.1127), zoom=180,
         palette="ocean", scale="dorian", root=2,
         sound=dict(synthMode="fm", frequency=146.83, harmonicRatio=1.5, fmModIndex=3, filterCutoff=3200,
                    chorusAmount=0.55, reverbWet=0.45, reverbDecay=4, delayWet=0.25, delayTime=0.375,
                    volume=0.7)),
    dict(id="elephant-parade", name="Elephant Parade", type="mandelbrot", centre=(0.2895, 0.0158), zoom=500,
         palette="ember", scale="major", root=5,
         sound=dict(synthMode="am", frequency=174.61, harmonicRatio=2, filterCutoff=1500, filterQ=4,
                    filterRolloff=-24, distortionAmount=0.15, subLevel=0.3, reverbWet=0.25, volume=0.4)),
    dict(id="northeast-branch", name="Northeast Branch (1e40)", type="mandelbrot", exact=NORTHEAST_BRANCH,
         zoom=1e40, palette="glacier", scale="pentMinor", root=4,
         sound=dict(synthMode="orbit", frequency=164.81, filterType="bandpass", filterCutoff=1800, filterQ=5,
                    reverbWet=0.55, reverbDecay=6, delayWet=0.3, delayTime=0.5, delayFeedback=0.45,
                    stereoWidth=0.7, volume=0.85)),
    dict(id="seahorse-spiral", name="Seahorse Spiral (1e120)", type="mandelbrot", exact=SEAHORSE_SPIRAL,
         zoom=1e120, palette="aurora", scale="lydian", root=0,
         sound=dict(synthMode="fm", frequency=130.81, harmonicRatio=2.01, fmModIndex=1.6, filterCutoff=2600,
                    phaserDepth=0.6, phaserRate=0.15, chorusAmount=0.4, reverbWet=0.6, reverbDecay=8,
                    glide=0.3, stereoWidth=0.6, volume=0.7)),
    dict(id="antenna-star", name="Antenna Star (1e104)", type="mandelbrot", exact=ANTENNA_STAR, zoom=1e104,
         palette="gilded", scale="mixolydian", root=7,
         sound=dict(synthMode="fm", frequency=392, harmonicRatio=3.5, fmModIndex=4.5, filterCutoff=6000,
                    delayWet=0.35, delayTime=0.33, delayFeedback=0.5, reverbWet=0.4, reverbDecay=3.5,
                    volume=0.6)),
    dict(id="julia-dragon", name="Julia Dragon", type="julia", centre=(0, 0), zoom=1.1, palette="spectrum",
         julia=(-0.8, 0.156), scale="pentMinor", root=9,
         sound=dict(frequency=220, filterCutoff=2400, filterQ=6, filterRolloff=-24, lfoRate=0.3,
                    delayWet=0.3, delayTime=0.3, delayFeedback=0.4, chorusAmount=0.4)),
    dict(id="douady-rabbit", name="Douady Rabbit", type="julia", centre=(0, 0), zoom=1.2, palette="candy",
         julia=(-0.123, 0.745), scale="wholeTone", root=1,
         sound=dict(synthMode="am", frequency=277.18, harmonicRatio=1.5, filterType="notch", filterCutoff=1200,
                    filterQ=1.5, phaserDepth=0.5, phaserRate=1.2, reverbWet=0.35,
                    volume=0.75)),
    dict(id="armada", name="Armada", type="burningship", centre=(-1.7605, -0.0275), zoom=28, palette="thermal",
         scale="harmMinor", root=4,
         sound=dict(frequency=82.41, filterCutoff=1100, filterQ=5, filterRolloff=-24, distortionAmount=0.45,
                    bitCrushDepth=9, subLevel=0.5, reverbWet=0.2, noiseLevel=0.05, noiseType="brown",
                    volume=0.38)),
    dict(id="tricorn-crown", name="Tricorn Crown", type="tricorn", centre=(-0.2, 0), zoom=0.75, palette="void",
         scale="blues", root=0,
         sound=dict(synthMode="am", frequency=130.81, harmonicRatio=0.5, filterCutoff=1600, noiseLevel=0.08,
                    noiseType="pink", reverbWet=0.4, reverbDecay=5, delayWet=0.15,
                    volume=0.7)),
    dict(id="newton-basins", name="Newton Basins", type="newton", centre=(-0.5, 0), zoom=1, palette="sunset",
         scale="major", root=0,
         sound=dict(synthMode="orbit", frequency=261.63, filterCutoff=3000, reverbWet=0.35, chorusAmount=0.45,
                    stereoWidth=0.75, volume=0.6)),
    dict(id="celtic-knot", name="Celtic Knot", type="celtic", centre=(-0.6, 0), zoom=0.7, palette="forest",
         scale="mixolydian", root=2,
         sound=dict(frequency=146.83, filterCutoff=2200, chorusAmount=0.65, delayWet=0.3, delayTime=0.45,
                    delayFeedback=0.35, reverbWet=0.4)),
    dict(id="buffalo-herd", name="Buffalo Herd", type="buffalo", centre=(-0.45, -0.45), zoom=0.75, palette="ink",
         scale="minor", root=7,
         sound=dict(frequency=98, filterCutoff=700, filterQ=2.5, filterRolloff=-48, subLevel=0.6,
                    distortionAmount=0.2, reverbWet=0.3, glue=0.5, volume=0.42)),
    dict(id="perpendicular-ship", name="Perpendicular Ship", type="perpendicular", centre=(-0.5, 0.15), zoom=0.8,
         palette="ember", scale="hirajoshi", root=4,
         sound=dict(synthMode="fm", frequency=164.81, harmonicRatio=1.41, fmModIndex=2.5, filterCutoff=2800,
                    freqShift=3, reverbWet=0.4, delayWet=0.25, volume=0.6)),
    dict(id="trefoil", name="Trefoil", type="multibrot3", centre=(0, 0), zoom=0.75, palette="aurora",
         scale="fifths", root=5,
         sound=dict(frequency=174.61, filterType="bandpass", filterCutoff=1500, filterQ=3, lfoRate=0.5,
                    phaserDepth=0.4, reverbWet=0.5, reverbDecay=5, volume=0.9)),
    dict(id="quatrefoil", name="Quatrefoil", type="multibrot4", centre=(-0.15, 0), zoom=0.9, palette="glacier",
         scale="pentMajor", root=2,
         sound=dict(synthMode="am", frequency=293.66, harmonicRatio=3, filterCutoff=4000, chorusAmount=0.35,
                    stereoWidth=0.6, reverbWet=0.45, delayWet=0.2, volume=0.85)),
]


def auto_iterations(zoom):
    return min(200000, max(128, math.floor(64 * math.log2(max(zoom, 1)) + 160.5)))


def preset(row):
    zoom = float(row["zoom"])
    sound = dict(DEFAULTS, **row["sound"])
    out = dict(id="factory-" + row["id"], name=row["name"], fractalType=row["type"], zoom=zoom,
               log2Zoom=math.log2(zoom), rotation=0, maxIterations=auto_iterations(zoom),
               colorPalette=row["palette"], audioParams=sound, scale=row["scale"], rootNote=row["root"],
               thumbnail="", createdAt="2025-01-01T00:00:00.000Z")
    if "exact" in row:
        x, y = row["exact"]
        out["centre"] = dict(x=x, y=y)
        out["centerX"], out["centerY"] = float(Decimal(x)), float(Decimal(y))
    else:
        out["centerX"], out["centerY"] = row["centre"]
    if "julia" in row:
        out["juliaC"] = dict(x=row["julia"][0], y=row["julia"][1])
    return out


def centre_orbit(cx, cy, count=64):
    """The orbit of the view's centre under z^2 + c, as the orbit voice hears it (for the probe)."""
    z, points = complex(0, 0), []
    for _ in range(count):
        z = z * z + complex(cx, cy)
        if abs(z) > 2:
            return dict(points=points, length=len(points) // 2, escaped=True)
        points += [z.real, z.imag]
    return dict(points=points, length=count, escaped=False)


def main():
    presets = [preset(row) for row in PRESETS]
    if len(sys.argv) > 2 and sys.argv[1] == "--probe":
        probe = []
        for p in presets:
            case = dict(id=p["id"], params=p["audioParams"])
            if p["audioParams"]["synthMode"] == "orbit":
                case["orbit"] = centre_orbit(p["centerX"], p["centerY"])
            probe.append(case)
        Path(sys.argv[2]).write_text(json.dumps(probe))
        return
    envelope = dict(version=2, exportedAt="2025-01-01T00:00:00.000Z", presets=presets)
    target = ROOT / "resources" / "Presets" / "factory-presets.json"
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(envelope, indent=2, sort_keys=True) + "\n")


main()
