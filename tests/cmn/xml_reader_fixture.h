// The element-path reader tests' fixture: the XML reader library loaded, and documents
// written into fresh temporary roots.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/cmn/qmcmn.h"
#include "support/temp_roots.h"

namespace qma::test {

class XmlReader : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(QMCmnLoadXmlLibrary(), 0); }

  std::string write(const std::string& content) {
    auto path = roots_.base() / "doc.xml";
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  qma::test::TempRoots roots_;
};

}  // namespace qma::test
