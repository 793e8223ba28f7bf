// How the agent's get-version tool orders two version texts.
#pragma once

namespace qma::getversion {

/// Compares a package version with an installed version: 1 when the package is higher, 0 when
/// both are equal, -1 when it is lower. The leading digits count as a number; every later
/// group of digits counts digit by digit like a decimal fraction, so 1.2 equals 1.20 and
/// 1.2.0, 1.05 is lower than 1.5 and 3.9 is higher than 3.19. Characters that are not digits
/// only separate groups. Each text is read to at most 257 characters.
int compare_versions(const char* package_version, const char* installed_version);

}  // namespace qma::getversion
