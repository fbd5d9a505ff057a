// Loading modules by file name and the export names of decorated entries.
#include "platform/dynlib.h"

#include <gtest/gtest.h>

#include <utility>

namespace vb::platform {
namespace {

TEST(DynamicLibrary, MissingModuleFailsWithText) {
  DynamicLibrary library;
  EXPECT_FALSE(library.open(moduleFileName("vantbrook_no_such_module")));
  EXPECT_FALSE(library.isOpen());
  EXPECT_NE(library.error().find("vantbrook_no_such_module.so"), std::string::npos)
      << library.error();
  EXPECT_EQ(library.symbol("anything"), nullptr);
}

TEST(DynamicLibrary, RealSymbolResolvesAndSurvivesMove) {
  DynamicLibrary library;
  ASSERT_TRUE(library.open("libm.so.6")) << library.error();
  using UnaryMath = double (*)(double);
  auto* cosine = reinterpret_cast<UnaryMath>(library.symbol("cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(library.symbol("vantbrook_no_such_symbol"), nullptr);

  DynamicLibrary moved(std::move(library));
  EXPECT_FALSE(library.isOpen());
  EXPECT_TRUE(moved.isOpen());
  EXPECT_NE(moved.symbol("cos"), nullptr);
  moved.close();
  EXPECT_FALSE(moved.isOpen());
}

TEST(DynamicLibrary, NamesOnThisPlatform) {
  const std::pair<const char*, const char*> exports[] = {
      {"_OpenPort@16", "OpenPort"},
      {"_ClosePort@4", "ClosePort"},
      {"_SetStartPoint@8", "SetStartPoint"},
      {"OpenPort", "OpenPort"},
      {"_Abort", "Abort"},
      {"Mail@Host", "Mail@Host"},
      {"Name@", "Name@"},
  };
  for (const auto& [decorated, plain] : exports) {
    EXPECT_EQ(exportName(decorated), plain) << decorated;
  }
  EXPECT_EQ(moduleFileName("pnetport"), "pnetport.so");
  EXPECT_EQ(moduleFileName("dialport"), "dialport.so");
}

}  // namespace
}  // namespace vb::platform
