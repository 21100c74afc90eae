#!/usr/bin/env python3
"""Compresses the readable rack template (veltrane-rackv2.xml, next to this script) into the
resource resources/Presets/veltrane-rackv2.adg: gzip at level 6 with modification time 0, so the
same source always gives the same bytes. A test checks that the committed resource holds the
source's exact bytes.

  python3 tools/racktemplate/make-template.py
"""
import gzip
from pathlib import Path

here = Path(__file__).resolve().parent
source = here / "veltrane-rackv2.xml"
target = here.parents[1] / "resources" / "Presets" / "veltrane-rackv2.adg"
target.write_bytes(gzip.compress(source.read_bytes(), compresslevel=6, mtime=0))
