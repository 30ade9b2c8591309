// The rule every manifest path must pass before the launcher writes to it.
#pragma once

#include <string>

// True when path names a file strictly below the current directory: not
// absolute, drive-relative, UNC or a device path; no ':' anywhere (drives and
// alternate data streams); no component made only of dots and spaces ("..",
// ".", "...", ".. "); no component that Windows maps to a device (CON, PRN,
// AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9 and their superscript variants,
// with or without an extension); not the launcher's own working folder
// "Launcher" nor anything in it. Both "/" and "\" count as separators.
bool IsSafeManifestPath(const std::wstring& path);
