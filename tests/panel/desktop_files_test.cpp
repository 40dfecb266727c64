// The files that integrate the panel with the desktop: valid by the
// distribution's own validators, and naming each other consistently.
#include <gtest/gtest.h>

#include <string>

#include "support/test_env.hpp"

namespace {

const std::string data_dir = KOV_PANEL_DATA_DIR;
const std::string app_id = "org.kovorvane.Panel";

TEST(DesktopFiles, MetainfoPassesAppstreamValidation)
{
    if (!kov::test::have_program("appstreamcli"))
        GTEST_SKIP() << "appstreamcli is not installed";
    const auto r =
        kov::test::run_command({"appstreamcli", "validate", "--no-net", data_dir + "/" + app_id + ".metainfo.xml"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST(DesktopFiles, DesktopEntryPassesValidation)
{
    if (!kov::test::have_program("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate is not installed";
    const auto r = kov::test::run_command({"desktop-file-validate", data_dir + "/" + app_id + ".desktop"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

TEST(DesktopFiles, EntryMetainfoAndIconNameTheSameApplication)
{
    const std::string desktop = kov::test::read_text(data_dir + "/" + app_id + ".desktop");
    const std::string metainfo = kov::test::read_text(data_dir + "/" + app_id + ".metainfo.xml");
    EXPECT_NE(desktop.find("\nExec=kov-orvane-panel\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("\nIcon=" + app_id + "\n"), std::string::npos) << desktop;
    EXPECT_NE(metainfo.find("<id>" + app_id + "</id>"), std::string::npos);
    EXPECT_NE(metainfo.find("<launchable type=\"desktop-id\">" + app_id + ".desktop</launchable>"), std::string::npos);
    EXPECT_NE(metainfo.find("<binary>kov-orvane-panel</binary>"), std::string::npos);
    EXPECT_NE(metainfo.find("<release version=\"2026.10.28\""), std::string::npos);

    const std::string icon = kov::test::read_text(data_dir + "/" + app_id + ".svg");
    EXPECT_EQ(icon.rfind("<svg ", 0), 0u);
    EXPECT_NE(icon.find("viewBox=\"0 0 16 16\""), std::string::npos);
}

} // namespace
