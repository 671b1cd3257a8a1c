"""Official ID-photo documents and the print sheets they go on, as data: one table, each row naming the office
whose published rule it follows.

Lengths are in the row's own unit: millimetres, inches or (online forms)
pixels. Printed sizes become pixels at `dpi`. `head` is chin to crown, hair
included; `eye_line` is the eyes' height above the bottom edge, where the
rule gives one; `top` is crown to the top edge, which the framing aims at.

Where a rule fixes the eye line but not the top margin, the top margin is
derived from it (`top_from_eye_line`); where it fixes neither, the margin is
the crown kept 2/45 to 6/45 of the height below the edge, the band that keeps
hair clear of the edge and the chin above the bottom on a 35 x 45 mm print.
Each row's `source` says which figures were read in a copy of the office's
page and which were not.
"""

from __future__ import annotations

import json
from dataclasses import dataclass

UNITS_PER_INCH = {"mm": 25.4, "in": 1.0}

# Where the eyes sit between chin and crown (hair included), as a share of
# the head from the chin. Half is the drawing canon for the skull; hair on
# top lowers it (the two hand-marked test portraits: 0.44 and, under a lot
# of hair, 0.30), which puts a framed face's eyes a little lower than the
# derived margin assumes, so the floor below keeps the margin on the roomy side.
EYE_SHARE = 0.5
# A derived top margin never lets the crown nearer the edge than this share
# of the height: closer, trimming a print cuts hair.
MIN_TOP_SHARE = 0.05
# Today's top-margin band for rules that fix no margin and no eye line.
DEFAULT_TOP_SHARE = (2 / 45, 6 / 45)


@dataclass(frozen=True)
class Document:
    name: str  # lower-case country-document
    title: str
    unit: str  # "mm", "in" or "px"
    width: float
    height: float
    dpi: int
    head: tuple[float, float]  # chin to crown, in `unit`
    eye_line: tuple[float, float] | None  # eyes above the bottom edge, in `unit`
    top: tuple[float, float]  # crown to the top edge, in `unit`
    backgrounds: tuple[str, ...]  # parse_background colours; the first is the default
    source: str
    max_kb: float | None = None  # online forms: the file-size cap
    min_pixels: tuple[int, int] | None = None  # online forms: (width, height) at least
    max_pixels: tuple[int, int] | None = None  # online forms: (width, height) at most
    min_kb: float | None = None  # online forms: the smallest file the office takes
    # True: the crown is the top of the hair; False: the top of the skull, the
    # hair left out (estimated from the face mesh, see idphoto/crown.py)
    hair_in_head: bool = True
    # the office's own words when it forbids edited photographs (the background
    # is then kept unless one is named); None where the table has no such rule
    edits: str | None = None
    chin: tuple[float, float] | None = None  # chin to the bottom edge, where the office fixes it
    top_given: bool = False  # `top` is the office's figure (checked), not one derived for the framing
    head_given: bool = True  # `head` is the office's range (checked); False: only the framing's aim
    read: str = ""  # when the figures were read from the source
    head_accepted: tuple[float, float] | None = None  # the office refuses only outside this (checked); aimed at `head`
    no_prints: bool = False  # the office no longer takes paper photos: no print sheets
    note: str | None = None  # what a user must know beyond the figures (e.g. prints no longer taken)

    def pixels(self, length: float) -> float:
        if self.unit == "px":
            return length
        return length / UNITS_PER_INCH[self.unit] * self.dpi

    @property
    def size(self) -> tuple[int, int]:
        """(width, height) in pixels."""
        return round(self.pixels(self.width)), round(self.pixels(self.height))

    @property
    def background(self) -> str:
        return self.backgrounds[0]

    @property
    def head_fraction(self) -> tuple[float, float]:
        """The head's allowed height as fractions of the picture's height."""
        return self.head[0] / self.height, self.head[1] / self.height

    @property
    def top_fraction(self) -> tuple[float, float]:
        return self.top[0] / self.height, self.top[1] / self.height

    @property
    def aliases(self) -> list[str]:
        return [alias for alias, name in ALIASES.items() if name == self.name]

    def describe(self) -> str:
        width, height = self.size
        unit = " px" if self.unit == "px" else f" {self.unit}"
        printed = "" if self.unit == "px" else f"{self.width:g}x{self.height:g}{unit}, "
        eyes = f", eyes {self.eye_line[0]:g}-{self.eye_line[1]:g}{unit} up" if self.eye_line else ""
        online = f", at most {self.max_kb:g} KB" if self.max_kb else ""
        return (f"{self.name:<15} {self.title}: {printed}{width}x{height} px at {self.dpi} dpi, "
                f"head {self.head[0]:g}-{self.head[1]:g}{unit}{eyes}, "
                f"background {'/'.join(self.backgrounds)}{online}")

    def as_json(self) -> dict:
        return {
            "name": self.name, "title": self.title, "width": self.width, "height": self.height,
            "unit": self.unit, "pixels": list(self.size), "dpi": self.dpi, "head": list(self.head),
            "eye_line": list(self.eye_line) if self.eye_line else None, "top": list(self.top),
            "backgrounds": list(self.backgrounds), "max_kb": self.max_kb,
            "min_pixels": list(self.min_pixels) if self.min_pixels else None,
            "max_pixels": list(self.max_pixels) if self.max_pixels else None,
            "min_kb": self.min_kb, "hair_in_head": self.hair_in_head, "edits": self.edits,
            "chin": list(self.chin) if self.chin else None, "top_given": self.top_given,
            "head_given": self.head_given, "note": self.note,
            "head_accepted": list(self.head_accepted) if self.head_accepted else None, "no_prints": self.no_prints,
            "source": self.source, "read": self.read, "aliases": self.aliases,
        }


# When the figures were read: the audit of the table against the offices'
# pages (December 2026) gave the corrected rows and the new documents; their
# pages could not be opened again when they went into the table.
AUDITED = "figures as given in the audit of December 2026; not re-read here"


def top_from_eye_line(height: float, head: tuple[float, float], eye_line: tuple[float, float]) -> tuple[float, float]:
    """The crown-to-top range that puts the eyes inside `eye_line` when the
    head is framed at the middle of its range."""
    above_eyes = (1 - EYE_SHARE) * (head[0] + head[1]) / 2
    low = height - eye_line[1] - above_eyes
    high = height - eye_line[0] - above_eyes
    return max(low, MIN_TOP_SHARE * height), high


def default_top(height: float) -> tuple[float, float]:
    return DEFAULT_TOP_SHARE[0] * height, DEFAULT_TOP_SHARE[1] * height


def document(name, title, unit, width, height, head, source, *, dpi=300, eye_line=None, top=None,
             backgrounds=("white",), max_kb=None, min_pixels=None, max_pixels=None, min_kb=None,
             hair_in_head=True, edits=None, chin=None, head_given=True, read=AUDITED, note=None,
             head_accepted=None, no_prints=False) -> Document:
    """A row: the top margin as the rule gives it, else from the eye line,
    else the default band."""
    top_given = top is not None
    if top is None:
        top = top_from_eye_line(height, head, eye_line) if eye_line else default_top(height)
    return Document(name, title, unit, width, height, dpi, tuple(head), tuple(eye_line) if eye_line else None,
                    tuple(top), tuple(backgrounds), source, max_kb, min_pixels, max_pixels, min_kb, hair_in_head,
                    edits, tuple(chin) if chin else None, top_given, head_given, read,
                    tuple(head_accepted) if head_accepted else None, no_prints, note)


ICAO_NOTE = ("ICAO Doc 9303 figures for a 35 x 45 mm print (chin to crown 70-80 % of the height, "
             "32-36 mm), used because the office's own page was not found in a stored copy")
AUDIT_SOURCE = "Figures as given in the audit of December 2026; not re-read here."
# The offices' words on edited photographs, as the audit quotes them.
UK_EDITS = "unaltered by computer software (HM Passport Office)"
CA_EDITS = "not altered in any way (IRCC)"
# Offices the audit lists as forbidding edited photos without quoting their words.
EDITS_FORBIDDEN = "edited photographs not accepted (the office's words not quoted in the audit)"
UNVERIFIED = "not read in a stored copy of the office's page; figures as third-party copies quote it"

class Table(dict):
    """Documents by name; looking one up by an alias finds it too, while
    iterating gives each document once."""

    def __missing__(self, key):
        target = ALIASES.get(key.lower()) if isinstance(key, str) else None
        if target is None:
            raise KeyError(key)
        return self[target]


DOCUMENTS: Table = Table((d.name, d) for d in (
    document(
        "icao", "passport and visa photo (ICAO), most countries", "mm", 35, 45, (32, 36),
        "ICAO Doc 9303 Part 3 and ISO/IEC 19794-5: 35 x 45 mm, chin to crown 70-80 % of the "
        "height (32-36 mm), plain light background; the same figures recur in the national rules "
        "below. Doc 9303 itself was not read in a stored copy. Top margin: the default band.",
        backgrounds=("white", "lightgrey"),
        hair_in_head=False,
    ),
    document(
        "us-passport", "US passport photo, 2 x 2 in", "in", 2, 2, (1, 1.375),
        "US Department of State, 'Photo Requirements' (travel.state.gov), as published on the "
        "US Embassy in Bulgaria's page 'Photo Requirements' (bg.usembassy.gov/visas/nonimmigrant-visas/"
        "photo-requirements/): 2 x 2 in, head 1 to 1 3/8 in chin to top of head, plain white or "
        "off-white background. Eyes 1 1/8 to 1 3/8 in above the bottom: the Department's photo "
        "composition template, " + UNVERIFIED + " (accimm.com). Top margin from the eye line.",
        eye_line=(1.125, 1.375), backgrounds=("white", "offwhite"),
    ),
    document(
        "us-visa", "US visa photo (printed), 2 x 2 in", "in", 2, 2, (1, 1.375),
        "US Department of State visa photo rules, the same page as the passport's on the US "
        "Embassy in Bulgaria's site (bg.usembassy.gov/visas/nonimmigrant-visas/photo-requirements/): "
        "2 x 2 in, head 1 to 1 3/8 in, white or off-white. Eye line as us-passport "
        "(composition template, " + UNVERIFIED + "). Top margin from the eye line.",
        eye_line=(1.125, 1.375), backgrounds=("white", "offwhite"),
    ),
    document(
        "us-online", "US digital photo (DV entry, online forms), 600 x 600 px", "px", 600, 600, (300, 414),
        "US Department of State, Diversity Visa entry instructions, the digital photograph's technical rules "
        "(as copied on dvlotteryinstructions.com, DV-2011 and DV-2013): JPEG, at most 240 KB, "
        "600 x 600 px, square, 24-bit colour. Head 50-69 % and eyes 56-69 % of the height: the "
        "Department's digital-image template, " + UNVERIFIED + ". Top margin from the eye line.",
        eye_line=(336, 414), backgrounds=("white", "offwhite"), max_kb=240, min_pixels=(600, 600),
        edits="no alterations (US Department of State, Diversity Visa instructions)",
    ),
    document(
        "uk-passport", "UK passport photo, 35 x 45 mm", "mm", 35, 45, (29, 34),
        "HM Passport Office, GOV.UK 'Photos for passports', as republished by the Turks and "
        "Caicos Islands Government (gov.tc/passports/photos): 45 mm high by 35 mm wide, crown "
        "to chin 29-34 mm, plain cream or light grey background. Top margin: the default band.",
        backgrounds=("lightgrey", "#fffdd0"),
        edits=UK_EDITS,
    ),
    document(
        "uk-online", "UK digital passport photo (photo code), 600 x 750 px", "px", 600, 750, (300, 375),
        "HM Passport Office, 'Photo code for digital passport photos' (passport.service.gov.uk/"
        "help/photo-codes) and GOV.UK 'Photos for passports': JPEG of at least 50 KB and at most "
        "10 MB showing the head, shoulders and upper body; do not crop, the office crops; the photo "
        "must be unaltered by computer software. At least 600 x 750 px: " + UNVERIFIED +
        " (funandflip.com). " + AUDIT_SOURCE + " The head range here is the framing's aim (40-50 % "
        "of the height, the upper body in view), not the office's, and is not checked. Top margin: "
        "the default band.",
        head_given=False, edits=UK_EDITS, backgrounds=("lightgrey", "#fffdd0"), max_kb=10240, min_kb=50,
        min_pixels=(600, 750),
    ),
    document(
        "schengen-visa", "Schengen visa photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Schengen consulates under the EU Visa Code (Regulation (EC) No 810/2009), which asks "
        "for an ICAO-standard photograph: 35 x 45 mm, face 70-80 %, 32-36 mm chin to crown, "
        "light plain background. " + ICAO_NOTE + "; third-party copies (passport-photos.net, "
        "euro-dollar-currency.com) give the same. Top margin: the default band.",
        backgrounds=("white", "lightgrey"),
        hair_in_head=False,
    ),
    document(
        "de-passport", "German passport and ID card photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Bundesministerium des Innern / Bundesdruckerei, 'Fotomustertafel' for passport photos, as "
        "the German Embassy Bangkok publishes it ('Passfotos', bangkok.diplo.de): 35 x 45 mm, head "
        "32-36 mm chin to crown with the hair left out, refused only under 27 or over 40 mm, plain "
        "light background (ideally neutral grey). Since 1 May 2025 paper photos are no longer "
        "accepted: the photo is sent digitally by a registered photographer or taken at the office. "
        + AUDIT_SOURCE + " Top margin: the default band.",
        dpi=600, hair_in_head=False, head_accepted=(27, 40), backgrounds=("lightgrey", "white"),
        no_prints=True,
        note="since 1 May 2025 paper photos are not accepted: a registered photographer sends the photo "
             "digitally, or it is taken at the office",
    ),
    document(
        "fr-passport", "French passport and ID card photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "ANTS, 'La photographie d'identité' (passeport.ants.gouv.fr): 35 x 45 mm, face 32-36 mm "
        "from the bottom of the chin to the top of the skull, hair left out, plain light blue or "
        "light grey background, white not allowed. " + AUDIT_SOURCE + " Top margin: the default band.",
        hair_in_head=False, backgrounds=("lightblue", "lightgrey"),
    ),
    document(
        "ca-passport", "Canadian passport photo, 50 x 70 mm", "mm", 50, 70, (31, 36),
        "Immigration, Refugees and Citizenship Canada, 'Canadian passport photos' (canada.ca): "
        "50 x 70 mm, face 31-36 mm chin to crown (natural top of head), plain white or "
        "light-coloured background; " + UNVERIFIED + " (theupsstore.ca, 123passportphoto.com). "
        "Top margin: the default band.",
        backgrounds=("white", "lightgrey"),
        hair_in_head=False, edits=CA_EDITS,
    ),
    document(
        "au-passport", "Australian passport photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Australian Passport Office, 'Guidelines for the photographic industry and camera "
        "operators' (passports.gov.au, 9 December 2010; copy on docslib.org): 45-50 mm high, "
        "35-40 mm wide (the smallest is used here), chin to crown 32-36 mm, uniform background; "
        "the guide prefers 18 % grey and recommends light blue, cream, beige, pale grey or white. "
        "Top margin: the default band.",
        backgrounds=("lightgrey", "white", "lightblue", "beige"),
    ),
    document(
        "in-passport", "Indian passport photo, 2 x 2 in", "in", 2, 2, (1.4, 1.6),
        "Ministry of External Affairs, Passport Seva photograph requirements (passportindia.gov.in), "
        "as the Embassy of India, Copenhagen, publishes it (indianembassycopenhagen.gov.in): 2 x 2 "
        "in, plain white background, the face 1.4-1.6 in from the forehead's edge to the chin, hair "
        "not counted (the skull's top is estimated for it here). " + AUDIT_SOURCE +
        " Top margin: the default band.",
        hair_in_head=False, backgrounds=("white",),
    ),
    document(
        "cn-passport", "Chinese passport and travel-document photo, 33 x 48 mm", "mm", 33, 48, (28, 33),
        "Chinese consular passport and travel-document photo rules (Ministry of Foreign Affairs, "
        "cs.mfa.gov.cn): 33 x 48 mm, head height chin to crown 28-33 mm, head width 15-22 mm, "
        "3-5 mm from the top of the head to the edge, at least 7 mm below the chin, white "
        "background; " + UNVERIFIED + " (studiophotorose.com, backgroundremoval.passlens.com).",
        top=(3, 5), chin=(7, 48 - 3 - 28), backgrounds=("white",),
        edits=EDITS_FORBIDDEN,
    ),
    document(
        "jp-passport", "Japanese passport photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Ministry of Foreign Affairs of Japan, passport photo standard (mofa.go.jp): 35 x 45 mm, "
        "chin to crown 32-36 mm, 2-6 mm from the crown to the top edge, plain white or off-white "
        "background; " + UNVERIFIED + " (goodwinsonline.com, legalclarity.org).",
        top=(2, 6), chin=(5, 9), backgrounds=("white", "offwhite"),
        edits=EDITS_FORBIDDEN,
    ),
    document(
        "kr-passport", "South Korean passport photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Ministry of Foreign Affairs of Korea, passport portal (passport.go.kr), passport photo "
        "standard in force since January 2018: 35 x 45 mm, head 32-36 mm from the crown to the "
        "chin for adults and children, white background. " + AUDIT_SOURCE + " Top margin: the "
        "default band.",
        backgrounds=("white",),
    ),
    document(
        "nz-passport", "New Zealand passport photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Department of Internal Affairs, 'Photographic Requirements' (dia.govt.nz, 2006 copy in "
        "the National Library web archive): the standards match ICAO's. " + ICAO_NOTE +
        ". Third-party pages say the current rule wants a plain light background that is not "
        "white; not checked. Top margin: the default band.",
        backgrounds=("lightgrey", "offwhite"),
    ),
    document(
        "ie-passport", "Irish passport photo, 35 x 45 mm", "mm", 35, 45, (31.5, 36),
        "Department of Foreign Affairs, Passport Service, 'Photo guidelines' (dfa.ie/"
        "passports-citizenship/top-passport-questions/photo-guidelines/): 35 x 45 mm at the "
        "least (38 x 50 at most), head 70-80 % of the height, light plain background; "
        + UNVERIFIED + " (timpson.co.uk, anfas.pro). Top margin: the default band.",
        backgrounds=("lightgrey", "white"),
    ),
    document(
        "ie-online", "Irish online passport photo, at least 715 x 951 px", "px", 715, 951, (380, 476),
        "Department of Foreign Affairs, Passport Online digital photo rules (dfa.ie): JPEG, at "
        "least 715 x 951 px, at most 9 MB; no head share: leave space around the head, show down "
        "to about mid-torso, do not crop tightly. " + AUDIT_SOURCE + " The head range here is the "
        "framing's aim (40-50 % of the height, room down to the torso), not the office's, and is "
        "not checked. Top margin: the default band.",
        head_given=False, backgrounds=("lightgrey", "white"), max_kb=9 * 1024, min_pixels=(715, 951),
    ),
    document(
        "nl-passport", "Dutch passport and ID card photo, 35 x 45 mm", "mm", 35, 45, (26, 30),
        "Rijksdienst voor Identiteitsgegevens (RvIG), 'Fotomatrix' for passport photos (rvig.nl): "
        "35 x 45 mm, head 26-30 mm chin to crown, face 16-20 mm wide, grey, light blue or white "
        "background, printed at 400 dpi or more (written here at 600). " + AUDIT_SOURCE +
        " Top margin: the default band.",
        dpi=600, backgrounds=("lightgrey", "lightblue", "white"),
    ),
    document(
        "it-passport", "Italian passport photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Polizia di Stato, passport photo rules (poliziadistato.it), which take over ICAO/ISO: "
        "35 x 45 mm. " + ICAO_NOTE + ". Top margin: the default band.",
        backgrounds=("white", "lightgrey"),
    ),
    document(
        "by-passport", "Belarusian passport photo, 40 x 50 mm print (the office cuts 35 x 45)", "mm", 40, 50,
        (32, 35),
        "Ministry of Foreign Affairs of Belarus, Embassy in Italy, 'Requisiti per le fototessere "
        "per passaporto' (italy.mfa.gov.by): a 40 x 50 mm print with 35 x 45 mm cut lines, which "
        "the office cuts itself (photos cut to size are refused); chin to crown 32-35 mm, 2-3 mm "
        "free above the head inside the cut lines (so 4.5-5.5 mm from the print's top edge), plain "
        "light background. " + AUDIT_SOURCE,
        top=(4.5, 5.5), backgrounds=("white", "lightgrey"),
        note="hand in the 40 x 50 mm print uncut: the office cuts it to 35 x 45 mm and refuses cut photos",
    ),
    document(
        "ru-visa", "Russian visa photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Russian consular visa photo rules (Ministry of Foreign Affairs of Russia): 35 x 45 mm, "
        "white or light grey background, 6 +/- 2 mm from the head to the top edge; "
        + UNVERIFIED + " (myvisatorussia.com; ruscon.org gives 35 x 45 mm, white or light). "
        + ICAO_NOTE + " for the head.",
        top=(4, 8), backgrounds=("white", "lightgrey"),
    ),
    document(
        "br-passport", "Brazilian passport photo, 50 x 70 mm", "mm", 50, 70, (30.8, 35.7),
        "Polícia Federal, passport photo rules (gov.br/pf): 5 x 7 cm, white background; the "
        "Polícia Federal takes the photo at the appointment for most applicants. Head 44-51 % of "
        "the height: " + UNVERIFIED + " (pixpassport.com; another copy says at least 42 mm, so "
        "the range is doubtful). Top margin: the default band.",
        backgrounds=("white",),
    ),
    document(
        "mx-passport", "Mexican passport photo (where prints are asked), 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Secretaría de Relaciones Exteriores (sre.gob.mx): since July 2018 the SRE photographs "
        "applicants at the appointment and asks for prints only in listed cases: passport size "
        "(4.5 x 3.5 cm), white background, front view, no glasses, head uncovered (as reported by "
        "viveusa.mx and debate.com.mx). " + ICAO_NOTE + ". Top margin: the default band.",
        backgrounds=("white",),
    ),
    # -- added from the audit of December 2026: the documents people need most
    document(
        "in-passport-abroad", "Indian passport photo at missions abroad (since 1 September 2025), 630 x 810 px",
        "px", 630, 810, (504, 688),
        "Ministry of External Affairs, Indian missions abroad, passport photo rule in force since "
        "1 September 2025 (e.g. the Embassy of India's passport services page): 630 x 810 px, the "
        "face 80-85 % of the height from the forehead's edge to the chin (hair not counted), white "
        "background. " + AUDIT_SOURCE + " No file limits were given.",
        hair_in_head=False, backgrounds=("white",),
    ),
    document(
        "in-evisa", "Indian e-Visa photo, square JPEG, 350-1000 px", "px", 600, 600, (360, 480),
        "Government of India, Bureau of Immigration, e-Visa application (indianvisaonline.gov.in): "
        "a square JPEG of 350 x 350 to 1000 x 1000 px, between 10 KB and 1 MB. " + AUDIT_SOURCE +
        " No head range was given: the one here (60-80 %) is the framing's aim and is not "
        "checked; 600 x 600 px is chosen inside the office's range.",
        head_given=False, backgrounds=("white",), min_pixels=(350, 350), max_pixels=(1000, 1000),
        min_kb=10, max_kb=1024,
    ),
    document(
        "cn-visa", "Chinese visa photo, 33 x 48 mm", "mm", 33, 48, (28, 33),
        "Chinese Visa Application Service Center / Chinese embassies, visa photo requirements "
        "(visaforchina.cn): 33 x 48 mm, head 28-33 mm chin to crown, white background. "
        + AUDIT_SOURCE + " Top margin: the default band.",
        edits=EDITS_FORBIDDEN, backgrounds=("white",),
    ),
    document(
        "cn-visa-online", "Chinese online visa photo, 354 x 472 to 420 x 560 px", "px", 420, 560, (327, 385),
        "Chinese Visa Application Service Center, online application (visaforchina.cn): a digital "
        "photo of 354 x 472 to 420 x 560 px, 40-120 KB. " + AUDIT_SOURCE + " Head: the printed "
        "visa photo's 28-33 of 48 mm, scaled to 560 px (the office gives no pixel figure).",
        edits=EDITS_FORBIDDEN, backgrounds=("white",), min_pixels=(354, 472), max_pixels=(420, 560),
        min_kb=40, max_kb=120,
    ),
    document(
        "ca-visa-online", "Canadian visa and permanent-residence photo (digital), 420 x 540 px", "px", 420, 540,
        (378, 432),
        "Immigration, Refugees and Citizenship Canada, photograph requirements for visa and permanent "
        "residence applications (canada.ca): a digital photo of at least 420 x 540 px, at most "
        "4 MB, not altered in any way. " + AUDIT_SOURCE + " No head range was given: the one here "
        "(70-80 %, ICAO's share) is the framing's aim and is not checked.",
        head_given=False, hair_in_head=False, edits=CA_EDITS, backgrounds=("white", "lightgrey"),
        min_pixels=(420, 540), max_kb=4096,
    ),
    document(
        "tr-passport", "Turkish passport photo, 50 x 60 mm", "mm", 50, 60, (32, 36),
        "Republic of Türkiye, General Directorate of Population and Citizenship Affairs (nvi.gov.tr), "
        "biometric photo rules: 50 x 60 mm, face 32-36 mm, white background. " + AUDIT_SOURCE +
        " Top margin: the default band.",
        backgrounds=("white",),
    ),
    document(
        "vn-passport", "Vietnamese passport photo, 4 x 6 cm", "mm", 40, 60, (42.7, 48),
        "Ministry of Public Security of Viet Nam, Immigration Department (xuatnhapcanh.gov.vn): "
        "a 4 x 6 cm photo. " + AUDIT_SOURCE + " No head range was given: the one here (ICAO's "
        "share of the height) is the framing's aim and is not checked.",
        head_given=False, backgrounds=("white",),
    ),
    document(
        "es-dni", "Spanish DNI and passport photo, 26 x 32 mm", "mm", 26, 32, (22.8, 25.6),
        "Policía Nacional, DNI and passport photo requirements (dnielectronico.es / policia.es): "
        "26 x 32 mm, plain white background. " + AUDIT_SOURCE + " No head range was given: the one "
        "here (ICAO's share of the height) is the framing's aim and is not checked.",
        head_given=False, backgrounds=("white",),
    ),
    document(
        "hk-passport", "Hong Kong SAR passport photo, 40 x 50 mm", "mm", 40, 50, (35.6, 40),
        "Immigration Department of the Hong Kong SAR, photo requirements (immd.gov.hk): 40 x 50 mm. "
        + AUDIT_SOURCE + " No head range was given: the one here (ICAO's share of the height) is "
        "the framing's aim and is not checked.",
        head_given=False, backgrounds=("white", "lightgrey"),
    ),
    document(
        "hk-online", "Hong Kong SAR online photo, at least 1200 x 1600 px", "px", 1200, 1600, (1138, 1280),
        "Immigration Department of the Hong Kong SAR, online application photo requirements "
        "(immd.gov.hk): at least 1200 x 1600 px. " + AUDIT_SOURCE + " No head range or file limit "
        "was given: the head range here (ICAO's share) is the framing's aim and is not checked.",
        head_given=False, backgrounds=("white", "lightgrey"), min_pixels=(1200, 1600),
    ),
    document(
        "tw-passport", "Taiwan passport photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Bureau of Consular Affairs, Ministry of Foreign Affairs (boca.gov.tw), passport photo "
        "rules: 35 x 45 mm, the crown measured with the hair left out; a digital file of at least "
        "413 x 531 px. " + AUDIT_SOURCE + " No head range was given: the one here (ICAO's 32-36 mm) "
        "is the framing's aim and is not checked.",
        head_given=False, hair_in_head=False, backgrounds=("white",), min_pixels=(413, 531),
    ),
    document(
        "sg-passport", "Singapore passport photo, 35 x 45 mm", "mm", 35, 45, (32, 36),
        "Immigration & Checkpoints Authority (ica.gov.sg), photo guidelines: 35 x 45 mm; edited "
        "photographs are not accepted. " + AUDIT_SOURCE + " No head range was given: the one here "
        "(ICAO's 32-36 mm) is the framing's aim and is not checked.",
        head_given=False, edits=EDITS_FORBIDDEN, backgrounds=("white",),
    ),
    document(
        "sg-online", "Singapore online passport photo, 400 x 514 px", "px", 400, 514, (366, 411),
        "Immigration & Checkpoints Authority (ica.gov.sg), photo guidelines for online "
        "applications: 400 x 514 px; edited photographs are not accepted. " + AUDIT_SOURCE +
        " No head range or file limit was given: the head range here (ICAO's share) is the "
        "framing's aim and is not checked.",
        head_given=False, edits=EDITS_FORBIDDEN, backgrounds=("white",),
    ),
    document(
        "my-passport", "Malaysian passport photo, 35 x 50 mm", "mm", 35, 50, (25, 30),
        "Immigration Department of Malaysia (imi.gov.my), passport photo rules: 35 x 50 mm, head "
        "25-30 mm. " + AUDIT_SOURCE + " Top margin: the default band.",
        backgrounds=("white",),
    ),
    document(
        "sa-evisa", "Saudi e-Visa photo, 200 x 200 px", "px", 200, 200, (120, 160),
        "Kingdom of Saudi Arabia, Ministry of Foreign Affairs unified visa platform (visa.mofa.gov.sa): "
        "200 x 200 px, 5-100 KB. " + AUDIT_SOURCE + " No head range was given: the one here "
        "(60-80 %) is the framing's aim and is not checked.",
        head_given=False, backgrounds=("white",), min_kb=5, max_kb=100,
    ),
    document(
        "nz-online", "New Zealand online passport photo, 900 x 1200 to 4500 x 6000 px", "px", 900, 1200,
        (853, 960),
        "Department of Internal Affairs, Te Tari Taiwhenua, 'Passport photo requirements' "
        "(passports.govt.nz): a digital photo of 900 x 1200 to 4500 x 6000 px, 3:4, 250 KB to "
        "10 MB. " + AUDIT_SOURCE + " No head range was given: the one here (ICAO's share) is the "
        "framing's aim and is not checked.",
        head_given=False, backgrounds=("lightgrey", "offwhite"), min_pixels=(900, 1200),
        max_pixels=(4500, 6000), min_kb=250, max_kb=10240,
    ),
    document(
        "be-eid", "Belgian eID and passport photo, 35 x 45 mm", "mm", 35, 45, (31, 36),
        "FPS Interior / FPS Foreign Affairs, photo standards for the eID and passport "
        "(ibz.rrn.fgov.be, diplomatie.belgium.be): 35 x 45 mm, head 31-36 mm. " + AUDIT_SOURCE +
        " Top margin: the default band.",
        backgrounds=("white", "lightgrey"),
    ),
    document(
        "generic-25x35", "\"1-inch\" photo, 25 x 35 mm (ID cards, forms)", "mm", 25, 35, (24.5, 28),
        "The common '1-inch' print size (25 x 35 mm) of Chinese and Japanese ID and application "
        "photos; no single office's rule, so the head follows ISO/IEC 19794-5's 70-80 % of the "
        "height and the top margin is 1.5-4.5 mm.",
        top=(1.5, 4.5),
    ),
    document(
        "generic-35x49", "\"2-inch\" photo, 35 x 49 mm", "mm", 35, 49, (34.3, 39.2),
        "The common '2-inch' print size (35 x 49 mm); no single office's rule: head 70-80 % of "
        "the height as ISO/IEC 19794-5, top margin 2-6 mm.",
        top=(2, 6),
    ),
))

# Earlier names and common spellings; every value is a document above.
ALIASES: dict[str, str] = {
    "passport": "icao", "35x45": "icao",
    "us": "us-passport", "2x2": "us-passport", "us-2x2": "us-passport",
    "online": "us-online", "600x600": "us-online",
    "25x35": "generic-25x35", "1inch": "generic-25x35",
    "35x49": "generic-35x49", "2inch": "generic-35x49",
    "uk": "uk-passport", "schengen": "schengen-visa",
    "es-passport": "es-dni", "in-abroad": "in-passport-abroad",
}


# Paper sizes as (long side, short side) in inches; a sheet is laid out in
# whichever orientation holds more copies.
SHEETS: dict[str, tuple[float, float]] = {
    "6x4in": (6.0, 4.0),
    "5x7in": (7.0, 5.0),
    "A6": (148 / 25.4, 105 / 25.4),
    "A4": (297 / 25.4, 210 / 25.4),
    "letter": (11.0, 8.5),  # US Letter
}


def find_sheet(name: str) -> str:
    for key in SHEETS:
        if key.lower() == name.strip().lower():
            return key
    raise ValueError(f"unknown sheet {name!r}: choose one of {', '.join(SHEETS)}")


def find_document(name: str) -> Document:
    """The document called `name` (or one of its aliases); ValueError naming the choices."""
    key = name.strip().lower()
    key = ALIASES.get(key, key)
    if key not in DOCUMENTS:
        raise ValueError(f"unknown ID preset {name!r}: choose one of {', '.join(DOCUMENTS)} "
                         "(--id list describes them)")
    return DOCUMENTS[key]


def listing() -> str:
    """One line a document, name first."""
    return "\n".join(d.describe() for d in DOCUMENTS.values())


def listing_json() -> str:
    return json.dumps([d.as_json() for d in DOCUMENTS.values()], ensure_ascii=False, indent=1)
