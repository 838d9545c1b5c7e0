// Loading a run-time library once, resolving by name, and pointing a loader at a missing file.

#include <gtest/gtest.h>

#include <cstring>

#include "pipeline/TLibraryLoader.h"

using namespace tarvio;

TEST(TLibraryLoader, LoadsResolvesAndCanBePointedAtAMissingFile) {
    TLibraryLoader loader("libc.so.6");
    EXPECT_FALSE(loader.Loaded());
    EXPECT_EQ(loader.Resolve("strlen"), nullptr); // not loaded yet
    ASSERT_TRUE(loader.Load());
    ASSERT_TRUE(loader.Load()); // once per process; later calls just answer
    size_t (*length)(const char*) = nullptr;
    ASSERT_TRUE(loader.Resolve("strlen", length));
    EXPECT_EQ(length("tarvio"), 6u);
    EXPECT_EQ(loader.Resolve("no_such_entry_point"), nullptr);

    loader.OverrideFileName("/nonexistent/libmissing.so.1");
    EXPECT_FALSE(loader.Loaded());
    EXPECT_FALSE(loader.Load());
    EXPECT_EQ(loader.FileName(), "/nonexistent/libmissing.so.1");
    EXPECT_EQ(loader.Resolve("strlen"), nullptr);
}
