// The Qt plug-in folder: beside a portable copy, none for an installed program.
#include <gtest/gtest.h>

#include "app/AppIdentity.h"
#include "QtPrinters.h"

namespace {

TEST(AppIdentityTest, PluginsOnlyBesideAPortableCopy)
{
    EXPECT_EQ(PluginFolderFor("/home/op/brenu/"), QStringLiteral("/home/op/brenu/plugins"));
    for (const char *installed : {"/usr/bin/", "/usr/local/bin/", "/opt/brenu/bin/"})
        EXPECT_EQ(PluginFolderFor(installed), QString()) << installed;
    EXPECT_EQ(PluginFolderFor(""), QString()) << "unknown executable: never the working directory";
    EXPECT_EQ(PluginFolderFor("./"), QString());
}

} // namespace
