"""The eleven built-in text tunes, in table order. tunegen.py checks them and writes src/Music/TextTunes.h.

Each score is in the program's tune text notation; one line per phrase. Melody and bass of a tune
have the same bar list."""

TUNES = [
    dict(id="ode-to-joy", name="Ode to Joy", credit="Beethoven, 1824", bpm=104, beatsPerBar=4,
         tonic="C4", bars=16,
         score="""E4:1 E4 F4 G4 | G4 F4 E4 D4 | C4 C4 D4 E4 | E4:1.5 D4:.5 D4:2 |
E4:1 E4 F4 G4 | G4 F4 E4 D4 | C4 C4 D4 E4 | D4:1.5 C4:.5 C4:2 |
D4:1 D4 E4 C4 | D4 E4:.5 F4 E4:1 C4 | D4 E4:.5 F4 E4:1 D4 | C4 D4 G3:2 |
E4:1 E4 F4 G4 | G4 F4 E4 D4 | C4 C4 D4 E4 | D4:1.5 C4:.5 C4:2 |""",
         bass="""C3:4 | G2 | C3:2 E3 | G2:4 |
C3:4 | G2 | C3:2 E3 | G2 C3 |
G2:2 C3 | G2 C3 | G2 B2 | C3 G2 |
C3:4 | G2 | C3:2 E3 | G2 C3 |"""),
    dict(id="fur-elise", name="Für Elise", credit="Beethoven, 1810", bpm=66, beatsPerBar=1.5,
         tonic="A4", bars=9,
         score="""E5:.25 D#5 |
E5 D#5 E5 B4 D5 C5 | A4:.5 r:.25 C4 E4 A4 | B4:.5 r:.25 E4 G#4 B4 | C5:.5 r:.25 E4 E5 D#5 |
E5 D#5 E5 B4 D5 C5 | A4:.5 r:.25 C4 E4 A4 | B4:.5 r:.25 E4 C5 B4 | A4:.5 r |""",
         bass="""r:.5 |
r:1.5 | A2:.25 E3 A3 r:.75 | E2:.25 E3 G#3 r:.75 | A2:.25 E3 A3 r:.75 |
r:1.5 | A2:.25 E3 A3 r:.75 | E2:.25 E3 G#3 r:.75 | A2:.25 E3 A3 r |"""),
    dict(id="minuet-in-g", name="Minuet in G", credit="Christian Petzold, about 1725", bpm=120,
         beatsPerBar=3, tonic="G4", bars=16,
         score="""D5:1 G4:.5 A4 B4 C5 | D5:1 G4 G4 | E5:1 C5:.5 D5 E5 F#5 | G5:1 G4 G4 |
C5:1 D5:.5 C5 B4 A4 | B4:1 C5:.5 B4 A4 G4 | F#4:1 G4:.5 A4 B4 G4 | A4:3 |
D5:1 G4:.5 A4 B4 C5 | D5:1 G4 G4 | E5:1 C5:.5 D5 E5 F#5 | G5:1 G4 G4 |
C5:1 D5:.5 C5 B4 A4 | B4:1 C5:.5 B4 A4 G4 | A4:1 B4:.5 A4 G4 F#4 | G4:3 |""",
         bass="""G3:2 A3:1 | B3:3 | C4 | B3 |
A3 | G3 | D4:1 B3 G3 | D4 D3:.5 C4 B3 A3 |
B3:2 A3:1 | G3 B3 G3 | C4:3 | B3:1 C4:.5 B3 A3 G3 |
A3:2 F#3:1 | G3:2 B3:1 | C4 D4 D3 | G3:2 G2:1 |"""),
    dict(id="mountain-king", name="In the Hall of the Mountain King", credit="Grieg, 1875", bpm=132,
         beatsPerBar=4, tonic="B3", bars=4,
         score="""B3:.5 C#4 D4 E4 F#4 D4 F#4:1 | E#4:.5 C#4 E#4:1 E4:.5 C4 E4:1 |
B3:.5 C#4 D4 E4 F#4 D4 F#4 B4 | A4 F#4 D4 F#4 A4:2 |""",
         bass="""B2:1 F#2 B2 F#2 | B2 F#2 B2 F#2 |
B2 F#2 B2 F#2 | B2 F#2 B2 F#2 |"""),
    dict(id="canon", name="Canon in D", credit="Pachelbel, about 1680", bpm=60, beatsPerBar=4,
         tonic="D5", bars=8,
         score="""F#5:2 E5 | D5 C#5 | B4 A4 | B4 C#5 |
D5 C#5 | B4 A4 | G4 F#4 | G4 E4 |""",
         bass="""D4:2 A3 | B3 F#3 | G3 D3 | G3 A3 |
D4 A3 | B3 F#3 | G3 D3 | G3 A3 |"""),
    dict(id="greensleeves", name="Greensleeves", credit="Traditional, England", bpm=132,
         beatsPerBar=3, tonic="A4", bars=16,
         score="""A4:1 |
C5:2 D5:1 | E5:1.5 F5:.5 E5:1 | D5:2 B4:1 | G4:1.5 A4:.5 B4:1 | C5:2 A4:1 |
A4:1.5 G#4:.5 A4:1 | B4:2 G#4:1 | E4:2 A4:1 |
C5:2 D5:1 | E5:1.5 F5:.5 E5:1 | D5:2 B4:1 | G4:1.5 A4:.5 B4:1 |
C5:1.5 B4:.5 A4:1 | G#4:1.5 F#4:.5 G#4:1 | A4:2 |""",
         bass="""r:1 |
A2:3 | C3 | G2 | E2 | A2 |
E2 | E2 | A2 |
A2 | C3 | G2 | E2 |
A2 | E2 | A2:2 |"""),
    dict(id="frere-jacques", name="Frère Jacques", credit="Traditional, France", bpm=112,
         beatsPerBar=4, tonic="C4", bars=8,
         score="""C4:1 D4 E4 C4 | C4 D4 E4 C4 |
E4 F4 G4:2 | E4:1 F4 G4:2 |
G4:.5 A4 G4 F4 E4:1 C4 | G4:.5 A4 G4 F4 E4:1 C4 |
C4 G3 C4:2 | C4:1 G3 C4:2 |""",
         bass="""C3:2 G2 | C3 G2 |
C3 G2 | C3 G2 |
C3 G2 | C3 G2 |
C3 G2 | C3 G2 |"""),
    dict(id="twinkle", name="Twinkle, Twinkle, Little Star", credit="Traditional, France, 1761",
         bpm=100, beatsPerBar=4, tonic="C4", bars=12,
         score="""C4:1 C4 G4 G4 | A4 A4 G4:2 | F4:1 F4 E4 E4 | D4 D4 C4:2 |
G4:1 G4 F4 F4 | E4 E4 D4:2 | G4:1 G4 F4 F4 | E4 E4 D4:2 |
C4:1 C4 G4 G4 | A4 A4 G4:2 | F4:1 F4 E4 E4 | D4 D4 C4:2 |""",
         bass="""C3:2 E3 | F3 E3 | F3 C3 | G2 C3 |
C3 B2 | C3 G2 | C3 B2 | C3 G2 |
C3 E3 | F3 E3 | F3 C3 | G2 C3 |"""),
    dict(id="spiral", name="Spiral", credit="Veltrane", bpm=112, beatsPerBar=4, tonic="C4", bars=4,
         score=""">C4:.5 Eb4 G4 Bb4 D5 Bb4 G4 Eb4 | >Ab3 C4 Eb4 G4 C5 G4 Eb4 C4 |
>F4 Ab4 C5 Eb5 G5 Eb5 C5 Ab4 | >G3 B3 D4 F4 B4 F4 D4 B3 |""",
         bass="""C3:3 G2:1 | Ab2:3 Eb3:1 |
F2:3 C3:1 | G2:3 D3:1 |"""),
    dict(id="orbit", name="Orbit", credit="Veltrane", bpm=92, beatsPerBar=4, tonic="C4", bars=8,
         score="""E4:1 G4 C5:1.5 B4:.5 | A4:1 G4 E4:2 | F4:1.5 E4:.5 D4:1 G4 | E4 C4 D4:2 |
E4:1 G4 C5:1.5 D5:.5 | E5:1 D5 C5:2 | A4:1.5 G4:.5 F4:1 D4 | E4 D4 C4:2 |""",
         bass="""C3:4 | F2:2 C3 | D3 G2 | C3 G2 |
C3:4 | A2:2 C3 | F2 D3 | G2 C3 |"""),
    dict(id="event-horizon", name="Event Horizon", credit="Veltrane", bpm=66, beatsPerBar=4,
         tonic="D4", bars=8,
         score="""D5:4 | C5:2 Bb4 | A4:4 | G4:2 F4 |
E4:4 | F4:2 E4:1 D4 | C#4:4 | D4:2 r |""",
         bass="""D3:4 | A2:2 G2 | D3 C3 | Bb2:4 |
C#3:2 A2 | Bb2 G2 | A2 E2 | D2:4 |"""),
]
