// The rule every manifest path must pass before the launcher writes to it.
#pragma once

#include <string>

// True when path names a file strictly below the current directory: plainly
// relative (IsPlainRelativePath: no root, UNC or device prefix, no ':'
// anywhere, no empty, "." or ".." component, no component ending in a dot or
// space, none of <>"|?* or a control character); no component that Windows
// maps to a device (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9 and
// their superscript variants, with or without an extension); not the
// launcher's own working folder "Launcher" nor anything in it. Both "/" and
// "\" count as separators. tools/publish refuses the same names.
bool IsSafeManifestPath(const std::wstring& path);

// True when src holds no control character: the log writes it whole on one
// line, so a line break in it could forge lines of the launcher's own.
// tools/publish refuses the same URLs.
bool IsSafeManifestSrc(const std::wstring& src);
