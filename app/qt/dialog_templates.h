#pragma once
// The two windows as templates: every control with its id, kind, text and rectangle in
// dialog units (x, y, width, height), in tab and creation order. The texts are the Win32
// dialog's, except that the version is the build's whole version (the About box's line is
// wider for it, up to the OK button).

#include <array>

#include "vesk_version.h"

namespace vesk::qt {

inline constexpr int kStaticId = -1;
inline constexpr int kOkId = 1;
inline constexpr int kStartId = 1000;
inline constexpr int kStatusLabelId = 1002;
inline constexpr int kVersionId = 1005;
inline constexpr int kDeviceValuesId = 1006;
inline constexpr int kStatusBoxId = 1007;
inline constexpr int kPictureId = 136;
inline constexpr int kHelpId = 57670;

enum class ControlKind { DefaultButton, Button, GroupBox, Text, StatusBox, Picture, Icon };

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* text;
  int x, y, width, height;
};

struct DialogTemplate {
  const char* caption;
  int width, height;
};

inline constexpr DialogTemplate kMainDialog{"Tarsel Vesk USB Update Tool", 354, 231};
inline constexpr std::array<ControlTemplate, 9> kMainDialogControls{{
    {kStartId, ControlKind::DefaultButton, "Start Initialization", 18, 22, 65, 14},
    {kOkId, ControlKind::Button, "Close", 233, 210, 50, 14},
    {kHelpId, ControlKind::Button, "&Help", 297, 210, 50, 14},
    {kStaticId, ControlKind::GroupBox, "Board Initialization", 7, 7, 340, 194},
    {kStatusLabelId, ControlKind::Text, "Status:", 98, 46, 200, 14},
    {kVersionId, ControlKind::Text, "Version " VESK_VERSION, 7, 208, 89, 16},
    {kDeviceValuesId, ControlKind::Text, "Device Values to be Programmed:", 98, 25, 234, 14},
    {kStatusBoxId, ControlKind::StatusBox, "", 98, 67, 238, 122},
    {kPictureId, ControlKind::Picture, "", 18, 67, 65, 122},
}};

// The window grows to the right of and below the template, whose controls stay where they
// are: the image files, the board and the verdict on the right, the progress of the image
// being written and the elapsed time in the frame under the status box, the cause of a
// failure along the bottom, and the board chooser under Start.
struct DialogRect {
  int x, y, width, height;
};
inline constexpr DialogTemplate kGrownMainDialog{"Tarsel Vesk USB Update Tool", 574, 250};
inline constexpr DialogRect kImagesPanel{354, 7, 213, 126};
inline constexpr DialogRect kBoardPanel{354, 138, 213, 28};
inline constexpr DialogRect kVerdictPanel{354, 170, 213, 31};
inline constexpr DialogRect kProgressSlot{98, 190, 182, 10};
inline constexpr DialogRect kElapsedSlot{282, 190, 54, 10};
inline constexpr DialogRect kCauseLine{7, 228, 560, 20};
inline constexpr DialogRect kBoardChooser{18, 42, 65, 14};

inline constexpr DialogTemplate kAboutBox{"About Pelkor", 235, 55};
inline constexpr std::array<ControlTemplate, 4> kAboutBoxControls{{
    {kStaticId, ControlKind::Icon, "", 11, 17, 20, 20},
    {kStaticId, ControlKind::Text, "Vesk USB Update Tool - Version " VESK_VERSION, 40, 10, 134, 8},
    {kStaticId, ControlKind::Text, "Copyright (C) 2026", 40, 25, 119, 8},
    {kOkId, ControlKind::DefaultButton, "OK", 178, 7, 50, 14},
}};

inline constexpr const char* kAboutEntryText = "&About Pelkor...";
inline constexpr const char* kHelpFailedText = "Failed to launch help.";

}  // namespace vesk::qt
