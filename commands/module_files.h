// The files of a module folder that more than one command reads or writes: the package
// descriptor, the get-version result and the three-step version history.
#pragma once

namespace qma::commands {

inline constexpr const char* kPackageDescriptor = "QuillInfo.xml";
/// What a module's tool answers in get_version mode; it becomes the current version record.
inline constexpr const char* kGetVersionResult = "Get_version.xml";
/// The version history: the installed version, the one before it and the one before that.
inline constexpr const char* kCurrentVersion = "CurrentVersion.xml";
inline constexpr const char* kPreviousVersion = "ExVersion.xml";
inline constexpr const char* kBeforePreviousVersion = "ExExVersion.xml";

}  // namespace qma::commands
