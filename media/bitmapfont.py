"""Reads font.xml the way Irrlicht 1.8's CGUIFont does, and measures, wraps
and draws text with it the way CGUIFont and CGUIStaticText do, so the
checks and mock-ups see what the program will show."""

import os
import xml.etree.ElementTree as ET

from PIL import Image, ImageChops


class BitmapFont:
    def __init__(self, xml_path):
        folder = os.path.dirname(xml_path)
        root = ET.parse(xml_path).getroot()
        if root.tag != "font" or root.get("type") != "bitmap":
            raise ValueError("not an Irrlicht bitmap font: " + xml_path)
        self.pages = {}
        self.page_alpha = {}
        for tex in root.iter("Texture"):
            index = int(tex.get("index"))
            self.page_alpha[index] = tex.get("hasAlpha")
            self.pages[index] = Image.open(os.path.join(folder, tex.get("filename")))
        self.glyphs = {}
        self.duplicates = []
        for c in root.iter("c"):
            ch = c.get("c")[0]
            rect = tuple(int(v) for v in c.get("r").split(","))
            if ch in self.glyphs:
                self.duplicates.append(ch)
            self.glyphs[ch] = {
                "rect": rect,
                "page": int(c.get("i", "0")),
                "u": int(c.get("u", "0")),
                "o": int(c.get("o", "0")),
            }
        # The tallest rectangle is the line height.
        self.line_height = max(g["rect"][3] - g["rect"][1] for g in self.glyphs.values())

    def _glyph(self, ch):
        # Unknown characters fall back to the space, as in CGUIFont.
        return self.glyphs.get(ch, self.glyphs[" "])

    def width(self, text):
        total = 0
        for ch in text:
            g = self._glyph(ch)
            total += g["u"] + (g["rect"][2] - g["rect"][0]) + g["o"]
        return total

    def wrap(self, text, width):
        """Word wrap as CGUIStaticText::breakText does (no soft hyphens)."""
        lines, line, length = [], "", 0
        for word in text.split(" "):
            if not word:
                continue
            wl = self.width(word)
            gap = self.width(" ") if line else 0
            if length and length + gap + wl > width:
                lines.append(line)
                line, length = word, wl
            else:
                line = line + " " + word if line else word
                length += gap + wl
        lines.append(line)
        return lines

    def draw(self, canvas, text, x, y, colour=(0, 0, 0)):
        """Draws one line: glyph colour times text colour, blended by alpha."""
        pen = x
        for ch in text:
            g = self._glyph(ch)
            pen += g["u"]
            l, t, r, b = g["rect"]
            if ch != " ":
                piece = self.pages[g["page"]].convert("RGBA").crop((l, t, r, b))
                tint = Image.new("RGB", piece.size, tuple(colour))
                tinted = ImageChops.multiply(piece.convert("RGB"), tint).convert("RGBA")
                tinted.putalpha(piece.getchannel("A"))
                canvas.alpha_composite(tinted, (pen, y))
            pen += (r - l) + g["o"]

    def draw_wrapped(self, canvas, text, x, y, width, colour=(0, 0, 0)):
        for i, line in enumerate(self.wrap(text, width)):
            self.draw(canvas, line, x, y + i * self.line_height, colour)
