// Path mapping: the text functions that turn a client's FTP path into a
// real path under the account's home or the session's current folder, and
// a real path back into the form the client is shown.
//
// Real paths are absolute POSIX paths: one leading '/', components split
// at '/' only (a backslash is an ordinary character in a real name), no
// empty, "." or ".." components, no trailing '/'. Client texts use '/' and
// '\' alike as separators. Nothing here touches the file system or decides
// whether a path may be used: that is the path access check's job
// (engine/path_access.h). Every function is pure and may be called from
// any thread.
#pragma once

#include <climits>
#include <cstddef>
#include <string>
#include <string_view>

// Capacity of a real path, terminator included: a real path holds at most
// kRealPathSize - 1 characters. A mapping that would be longer fails; it
// is never cut into a different path.
constexpr std::size_t kRealPathSize = PATH_MAX;

// A client's path text in normal form: leading spaces and then leading
// separators dropped (spaces after a separator are kept), '\' turned into
// '/', doubled separators collapsed, trailing separators dropped. The
// result is relative (no leading '/'); "/" and the empty text give "".
// " /pub//files/" gives "pub/files".
std::string NormalisePath(std::string_view text);

// Puts a real path into normal form in place: "." components dropped, each
// ".." removes the component before it (at the root it removes nothing),
// doubled and trailing '/' dropped, one leading '/' ensured. A path that
// ".." reduces to nothing is "/". "/a/../../b" gives "/b". Never fails.
void ResolveDotDot(std::string& path);

// Maps a client path to a real path in `out`: under `home` when the text's
// first non-space character is a separator, else under `current`; then
// ResolveDotDot, so ".." may lead above home (the access check decides
// whether that is allowed). The empty text maps to `current`, "/" to
// `home`. There are no drive letters: "/C:/data" lies under home.
// Returns false, with `out` unspecified, when any input holds a NUL (a
// system call would see a different, shorter path) or the result does not
// fit in kRealPathSize.
[[nodiscard]] bool MapPath(std::string_view home, std::string_view current,
                           std::string_view text, std::string& out);

// The current folder as PWD shows it: "/" when it is the home folder, the
// part after home when it lies below home (the home prefix is removed only
// at a component boundary: home /srv/a, current /srv/ab/c shows
// /srv/ab/c), and the whole real path for any folder not below home. Both
// folders are compared in normal form, as written (case-sensitive).
std::string ClientPathText(std::string_view home, std::string_view current);

// True when the real path `path` is `folder` or lies below it, compared
// at component boundaries: /srv/a covers /srv/a/b, not /srv/ab. "/" covers
// every path. Both must be in normal form.
bool IsAtOrBelow(std::string_view folder, std::string_view path);

// The folder above a real path in normal form: "/srv/a/b" gives "/srv/a",
// "/srv" and "/" give "/".
std::string ParentFolder(std::string_view path);

// The path of a folder entry whose name the file system gave (never a
// client's text: a backslash stays part of the name): `folder` (a real
// path in normal form) and `name` (no '/', not "." or "..") joined by one
// '/'.
std::string EntryPath(std::string_view folder, std::string_view name);

// Joins a client's relative text to a folder into `out`: under `home` when
// the text (leading spaces skipped) starts with a separator, else under
// `folder`; the result is in normal form. Returns false, with `out`
// unspecified, when the text holds two dots in a row anywhere (so it can
// never step upwards), any input holds a NUL, or the result does not fit
// in kRealPathSize.
[[nodiscard]] bool JoinPath(std::string_view home, std::string_view folder,
                            std::string_view relative, std::string& out);
