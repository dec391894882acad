#pragma once

#include <QString>

class QWidget;

inline constexpr const char* kDisplayName = "Quillmark Converter Software";
inline constexpr const char* kHomePage = "https://velmora.example/";

// The display name shortened for message box titles: its last word goes, then
// further words while it is longer than 40 characters. A single word stays.
QString ApplicationTitleFrom(const QString& displayName);

// The user's desktop folder with a trailing '/'. Throws StepError when the
// platform names none.
QString GetDesktopFolder();

// A whole number from 1 to 100; start-up opens the home page on a 7.
int DrawHomePageNumber();

// Themes the window from the style sheet x/o.cjs in the program folder. A
// missing file leaves the native look; an unreadable one throws StepError.
void ApplySkin(QWidget& window, const QString& programFolder);
