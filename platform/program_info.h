#pragma once

namespace parvolane {

/// The application title: taskbar entry, window captions, first line of the About box.
inline constexpr char ApplicationTitle[] = "Parvolane";
/// The version as shown to the user.
inline constexpr char ProgramVersionText[] = PARVOLANE_VERSION_TEXT;
/// The same version in tenths (1.0 is 10), as the vendor's version page counts; CMake derives
/// it from the same project(VERSION ...) as the text.
inline constexpr int ProgramVersionNumber = PARVOLANE_VERSION_TENTHS;
/// The main window's caption: title, version and the vendor's web host.
inline constexpr char MainWindowCaption[] =
    "Parvolane " PARVOLANE_VERSION_TEXT " (" PARVOLANE_WEB_HOST ")";

}  // namespace parvolane
