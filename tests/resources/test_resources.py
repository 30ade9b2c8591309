"""Checks the built Launcher.exe files themselves: icon group, application
manifest, progress dialog template, subsystem, machine and imported DLLs.

The 64-bit program is found under $LAUNCHER_BUILD_DIR (default
build/win64-test), the 32-bit one under $LAUNCHER_BUILD32_DIR (default
build/win32); relative folders are taken from the repository root.
"""

import os
import re
import struct
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

pefile = pytest.importorskip("pefile", reason="python3-pefile is not installed for this interpreter")

ROOT = Path(__file__).resolve().parents[2]

RT_ICON = 3
RT_DIALOG = 5
RT_GROUP_ICON = 14
RT_MANIFEST = 24

BUILDS = {
    # name: (environment variable, default folder, machine, required)
    "x64": ("LAUNCHER_BUILD_DIR", "build/win64-test", 0x8664, True),
    "x86": ("LAUNCHER_BUILD32_DIR", "build/win32", 0x014C, False),
}


def executable_path(build):
    variable, default, _, _ = BUILDS[build]
    folder = Path(os.environ.get(variable) or default)
    if not folder.is_absolute():
        folder = ROOT / folder
    return folder / "Launcher" / "Launcher.exe"


@pytest.fixture(scope="module", params=sorted(BUILDS))
def build(request):
    return request.param


@pytest.fixture(scope="module")
def pe(build):
    path = executable_path(build)
    if not path.is_file():
        reason = f"{build} Launcher.exe not built: {path} is missing (set ${BUILDS[build][0]})"
        if BUILDS[build][3]:
            pytest.fail(reason)
        pytest.skip(reason)
    image = pefile.PE(str(path))
    yield image
    image.close()


def resources_of_type(pe, type_id):
    """{(name or id): [(language, bytes)]} of one resource type."""
    assert hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"), "the executable has no resources"
    found = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            key = name_entry.id if name_entry.name is None else str(name_entry.name)
            for language in name_entry.directory.entries:
                entry = language.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                found.setdefault(key, []).append((language.id, data))
    return found


def single_resource(pe, type_id, resource_id):
    resources = resources_of_type(pe, type_id)
    assert resource_id in resources, f"resource type {type_id} id {resource_id} missing; have {sorted(resources)}"
    assert len(resources[resource_id]) == 1, f"resource type {type_id} id {resource_id} in several languages"
    return resources[resource_id][0][1]


# ---------------------------------------------------------------- the image


def test_gui_subsystem_and_machine(pe, build):
    assert pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
    assert pe.FILE_HEADER.Machine == BUILDS[build][2]


MINGW_RUNTIME = re.compile(r"^(libgcc|libstdc\+\+|libwinpthread)", re.IGNORECASE)
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "shlwapi.dll", "wininet.dll",
    "advapi32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "crypt32.dll", "ws2_32.dll", "version.dll",
}


def test_imports_only_system_dlls(pe):
    names = [entry.dll.decode("ascii") for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    names += [entry.dll.decode("ascii") for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
    assert "kernel32.dll" in {name.lower() for name in names}
    assert [name for name in names if MINGW_RUNTIME.match(name)] == []
    assert [name for name in names if name.lower() not in SYSTEM_DLLS] == []


# ---------------------------------------------------------------- the icon

EXPECTED_ICONS = sorted((size, bits) for size in (16, 32, 48) for bits in (32, 8, 4))


def parse_group_icon(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1), "not an icon group directory"
    assert len(data) == 6 + 14 * count, "icon group directory has the wrong length"
    return [struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i) for i in range(count)]


def test_icon_group_has_nine_images_of_the_right_sizes_and_depths(pe):
    groups = resources_of_type(pe, RT_GROUP_ICON)
    assert list(groups) == [1], "exactly one icon group, id 1"
    entries = parse_group_icon(single_resource(pe, RT_GROUP_ICON, 1))
    assert len(entries) == 9
    # A width or height of 0 in the directory would mean 256.
    assert sorted((width, bits) for width, _, _, _, _, bits, _, _ in entries) == EXPECTED_ICONS
    assert all(width == height for width, height, *_ in entries)


def test_every_icon_image_is_present_and_matches_its_directory_entry(pe):
    icons = resources_of_type(pe, RT_ICON)
    entries = parse_group_icon(single_resource(pe, RT_GROUP_ICON, 1))
    referenced = [icon_id for *_, icon_id in entries]
    assert len(set(referenced)) == len(referenced), "two directory entries share one image"
    assert sorted(icons) == sorted(referenced), "icon images and the group's references differ"
    for width, height, colours, reserved, planes, bits, size, icon_id in entries:
        label = f"icon {icon_id} ({width}px, {bits}-bit)"
        data = single_resource(pe, RT_ICON, icon_id)
        assert len(data) == size, f"{label}: size differs from the directory"
        (header_size, bi_width, bi_height, bi_planes, bi_bits, compression, _, _, _, used,
         _) = struct.unpack_from("<IiiHHIIiiII", data, 0)
        assert header_size == 40, f"{label}: not a BITMAPINFOHEADER"
        assert (bi_width, bi_height) == (width, height * 2), f"{label}: dimensions"
        assert bi_planes == 1 and planes == 1, f"{label}: planes"
        assert bi_bits == bits, f"{label}: bit count"
        assert compression == 0, f"{label}: compressed"
        palette = (used or (1 << bits)) if bits <= 8 else used
        assert palette == {32: 0, 8: 256, 4: 16}[bits], f"{label}: palette size"
        assert colours == (palette if palette < 256 else 0), f"{label}: colour count in the directory"
        assert reserved == 0, f"{label}: reserved byte"
        # Header, palette, colour rows and the 1-bit mask, rows padded to 4 bytes.
        colour_row = ((width * bits + 31) // 32) * 4
        mask_row = ((width + 31) // 32) * 4
        assert size == 40 + 4 * palette + (colour_row + mask_row) * height, f"{label}: truncated or padded"


# ---------------------------------------------------------------- the application manifest

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"


def local_name(tag):
    return tag.rsplit("}", 1)[-1]


def test_exactly_one_application_manifest(pe):
    manifests = resources_of_type(pe, RT_MANIFEST)
    assert list(manifests) == [1]
    assert len(manifests[1]) == 1


def test_manifest_requests_as_invoker_and_declares_nothing_else(pe):
    data = single_resource(pe, RT_MANIFEST, 1)
    root = ElementTree.fromstring(data)
    assert root.tag == "{%s}assembly" % ASM_V1
    assert root.attrib == {"manifestVersion": "1.0"}

    # One chain of single children, and nothing beside it.
    chain = []
    element = root
    while True:
        children = list(element)
        assert len(children) <= 1, f"{local_name(element.tag)} declares more than one thing: " + \
            ", ".join(local_name(child.tag) for child in children)
        if not children:
            break
        element = children[0]
        chain.append(local_name(element.tag))
    assert chain == ["trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel"]
    assert all(local_name(node.tag) not in ("dependency", "compatibility", "application", "dpiAware")
               for node in root.iter())
    assert element.attrib == {"level": "asInvoker", "uiAccess": "false"}
    assert all(not (node.text or "").strip() for node in root.iter()), "text content in the manifest"


# ---------------------------------------------------------------- the progress dialog


class Reader:
    def __init__(self, data):
        self.data = data
        self.offset = 0

    def unpack(self, layout):
        values = struct.unpack_from("<" + layout, self.data, self.offset)
        self.offset += struct.calcsize("<" + layout)
        return values

    def word(self):
        return self.unpack("H")[0]

    def string(self):
        end = self.offset
        while self.data[end:end + 2] != b"\0\0":
            end += 2
            assert end < len(self.data), "unterminated string in the template"
        text = self.data[self.offset:end].decode("utf-16-le")
        self.offset = end + 2
        return text

    def string_or_ordinal(self):
        """None for an absent value, an int for an ordinal, else the string."""
        first = struct.unpack_from("<H", self.data, self.offset)[0]
        if first == 0x0000:
            self.offset += 2
            return None
        if first == 0xFFFF:
            self.offset += 2
            return self.word()
        return self.string()

    def align(self):
        self.offset = (self.offset + 3) & ~3


def parse_dialog(data):
    """The classic DLGTEMPLATE with its items, as dictionaries."""
    version, signature = struct.unpack_from("<HH", data, 0)
    assert (version, signature) != (1, 0xFFFF), "an extended template (DLGTEMPLATEEX), not a classic one"
    reader = Reader(data)
    style, ex_style, count, x, y, cx, cy = reader.unpack("IIHhhhh")
    dialog = {"style": style, "ex_style": ex_style, "count": count, "rect": (x, y, cx, cy),
              "menu": reader.string_or_ordinal(), "class": reader.string_or_ordinal(), "caption": reader.string()}
    if style & 0x40:  # DS_SETFONT
        dialog["font"] = (reader.word(), reader.string())
    items = []
    for _ in range(count):
        reader.align()
        style, ex_style, x, y, cx, cy, item_id = reader.unpack("IIhhhhH")
        item = {"id": item_id, "class": reader.string_or_ordinal(), "text": reader.string_or_ordinal(),
                "rect": (x, y, cx, cy), "style": style, "ex_style": ex_style}
        extra = reader.word()
        item["extra"] = data[reader.offset:reader.offset + extra]
        reader.offset += extra
        items.append(item)
    dialog["items"] = items
    dialog["trailing"] = data[reader.offset:]
    return dialog


BUTTON, STATIC = 0x0080, 0x0082

EXPECTED_ITEMS = [
    # id, class, text, rect, style
    (2, BUTTON, "Cancel", (150, 33, 50, 14), 0x50010301),
    (101, "msctls_progress32", "", (8, 20, 193, 8), 0x50800000),
    (102, STATIC, "", (8, 7, 192, 8), 0x50000000),
    (103, STATIC, "", (8, 36, 136, 8), 0x50000000),
]


@pytest.fixture(scope="module")
def dialog(pe):
    dialogs = resources_of_type(pe, RT_DIALOG)
    assert list(dialogs) == [1], "exactly one dialog template, id 1"
    return parse_dialog(single_resource(pe, RT_DIALOG, 1))


def test_dialog_frame(dialog):
    assert hex(dialog["style"]) == hex(0x90C808CC)
    assert dialog["ex_style"] == 0
    assert dialog["count"] == 4
    assert dialog["rect"] == (0, 0, 208, 54)
    assert dialog["menu"] is None
    assert dialog["class"] is None
    assert dialog["caption"] == ""
    assert dialog["font"] == (8, "MS Shell Dlg")


@pytest.mark.parametrize("index", range(len(EXPECTED_ITEMS)), ids=[str(row[0]) for row in EXPECTED_ITEMS])
def test_dialog_item(dialog, index):
    item = dialog["items"][index]
    item_id, item_class, text, rect, style = EXPECTED_ITEMS[index]
    assert item["id"] == item_id
    found_class = item["class"].lower() if isinstance(item["class"], str) else item["class"]
    assert found_class == item_class
    # An empty text may be stored as an empty string or left out.
    assert (item["text"] or "") == text and not isinstance(item["text"], int)
    assert item["rect"] == rect
    assert hex(item["style"]) == hex(style)
    assert item["ex_style"] == 0
    assert item["extra"] == b""


def test_dialog_ends_after_its_items(dialog):
    assert dialog["trailing"].strip(b"\0") == b"" and len(dialog["trailing"]) < 4
