#include "PaneFixture.h"

#include "UIAutomation.h"
#include "UITableView.h"

#include <filesystem>

namespace {

using namespace PaneNames;

class ResolverPickerTest : public PaneTest {
protected:
    // Opens the pane with DNSCrypt on, the resolver list (none when null) and the stored resolver.
    UITableView* openWithResolvers(const std::optional<std::string>& list, PropertyListDictionary preferences)
    {
        if (list)
            installResolverList(*list);
        preferences["DNSCrypt"] = "YES";
        preferences.try_emplace("SelectedConnectivity", "Wifi");
        writePreferences(preferences);
        openPane();
        return resolverPicker();
    }

    // The preferences without one key.
    std::optional<PropertyListDictionary> preferencesBut(const std::string& key) const
    {
        auto all = preferences();
        if (all)
            all->erase(key);
        return all;
    }
};

const std::string smallList = "Name,Full name,Description\n"
                              "quad9,Quad9,first\n"
                              "opendns,OpenDNS,the default\n"
                              "dnscrypt.eu-nl,DNSCrypt.eu Holland,third\n";

// The lists the proxy shipped, one with CR LF lines and one with LF lines and quoted column names.
TEST_F(ResolverPickerTest, TheShippedListsShowOneRowPerResolverWithTheStoredOneSelected)
{
    struct ShippedList {
        const char* file;
        size_t rows;
        const char* firstRow;
        const char* lastRow;
        long frankfurtRow;
        long ciscoRow;
        const char* ciscoTitle;
    };
    const ShippedList lists[] = {
        { "dnscrypt-resolvers-1.9.3.csv", 106, "Adguard DNS Family Protection 1", "Yandex", 13, 4, "Cisco OpenDNS" },
        { "dnscrypt-resolvers-1.9.5.csv", 116, "\"Adguard DNS Family Protection 1\"", "\"Yandex\"", 16, 8, "\"Cisco OpenDNS\"" },
    };
    for (const ShippedList& list : lists) {
        SCOPED_TRACE(list.file);
        UITableView* picker = openWithResolvers(testData(list.file), { { "DNSCryptServer", "cs-de" } });
        ASSERT_NE(picker, nullptr);

        auto titles = rowTitles(*picker);
        ASSERT_EQ(titles.size(), list.rows);
        EXPECT_EQ(titles.front(), list.firstRow);
        EXPECT_EQ(titles.back(), list.lastRow);
        EXPECT_EQ(titles[static_cast<size_t>(list.frankfurtRow)], "\"CS Frankfurt, DE DNSCrypt server\"");
        EXPECT_EQ(selectedRow(*picker), list.frankfurtRow);
        EXPECT_TRUE(picker->isScrollEnabled()) << "the picker scrolls";
        EXPECT_FALSE(extraTable().isScrollEnabled()) << "the switches do not";

        auto others = preferencesBut("DNSCryptServer");
        ASSERT_EQ(titles[static_cast<size_t>(list.ciscoRow)], list.ciscoTitle);
        ASSERT_TRUE(UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(list.ciscoRow, 0)));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), std::vector<std::string> { PreferencesChanged });
        EXPECT_EQ(preference("DNSCryptServer"), "cisco");
        EXPECT_EQ(preferencesBut("DNSCryptServer"), others);

        // The daemon's answer shows the new choice from the preferences.
        post(DNSChanged);
        ASSERT_TRUE(settle());
        picker = resolverPicker();
        ASSERT_NE(picker, nullptr);
        EXPECT_EQ(selectedRow(*picker), list.ciscoRow);

        // A resolver whose full name holds a comma is stored by its short name.
        ASSERT_TRUE(UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(list.frankfurtRow, 0)));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), std::vector<std::string> { PreferencesChanged });
        EXPECT_EQ(preference("DNSCryptServer"), "cs-de");
        closePane();
    }
}

TEST_F(ResolverPickerTest, TheStoredResolversRowIsSelected)
{
    struct Case {
        const char* name;
        std::optional<std::string> list;
        std::optional<std::string> stored;
        std::vector<std::string> rows;
        long selected;
    };
    const std::vector<std::string> smallRows { "Quad9", "OpenDNS", "DNSCrypt.eu Holland" };
    const Case cases[] = {
        { "a stored resolver", smallList, "dnscrypt.eu-nl", smallRows, 2 },
        { "none stored: opendns", smallList, std::nullopt, smallRows, 1 },
        { "an empty one stored: opendns", smallList, "", smallRows, 1 },
        { "a short name is compared exactly", smallList, "OpenDNS", smallRows, -1 },
        { "a resolver the list no longer has", smallList, "gone", smallRows, -1 },
        { "none stored and no opendns", "Name,Full name\nquad9,Quad9\n", std::nullopt, { "Quad9" }, -1 },
        { "the same short name twice: the later", "Name,Full name\ntwin,Twin one\nother,Other\ntwin,Twin two\n", "twin",
          { "Twin one", "Other", "Twin two" }, 2 },
        { "a resolver without a full name has no row",
          "Name,Description,Full name\nfirst,one,First\nnameless,no full name\nthird,three,Third\n", "nameless",
          { "First", "Third" }, -1 },
        { "rows after a resolver without a full name", "Name,Description,Full name\nnameless,none\nthird,three,Third\n",
          "third", { "Third" }, 0 },
        { "CR LF lines", "Name,Full name\r\nquad9,Quad9\r\nopendns,OpenDNS\r\n", std::nullopt, { "Quad9", "OpenDNS" }, 1 },
        { "a UTF-8 byte-order mark first", "\xEF\xBB\xBFName,Full name\r\nquad9,Quad9\r\nopendns,OpenDNS\r\n", "quad9",
          { "Quad9", "OpenDNS" }, 0 },
        { "a header alone", "Name,Full name\n", "quad9", {}, -1 },
        { "no list", std::nullopt, "quad9", {}, -1 },
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::filesystem::remove(device.path(ResolverListPath));
        PropertyListDictionary preferences;
        if (test.stored)
            preferences["DNSCryptServer"] = *test.stored;
        UITableView* picker = openWithResolvers(test.list, preferences);
        ASSERT_NE(picker, nullptr);

        EXPECT_EQ(rowTitles(*picker), test.rows);
        EXPECT_EQ(selectedRow(*picker), test.selected);
        EXPECT_EQ(preference("DNSCryptServer"), test.stored) << "showing is not choosing";
        ASSERT_TRUE(settle());
        EXPECT_TRUE(takePosts().empty());
        closePane();
    }
}

TEST_F(ResolverPickerTest, OfTwoResolversWithOneFullNameATapStoresTheFirst)
{
    UITableView* picker = openWithResolvers("Name,Full name\nfirst,Same name\nsecond,Same name\n", {});
    ASSERT_NE(picker, nullptr);
    ASSERT_EQ(rowTitles(*picker).size(), 2u);

    ASSERT_TRUE(UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(1, 0)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), std::vector<std::string> { PreferencesChanged });
    EXPECT_EQ(preference("DNSCryptServer"), "first");
}

TEST_F(ResolverPickerTest, APickedResolverIsStoredAtOnceAlsoWithAPasscode)
{
    UITableView* picker = openWithResolvers(smallList, { { "Passlock", "1234" }, { "DNSCryptServer", "quad9" } });
    ASSERT_NE(picker, nullptr);
    auto others = preferencesBut("DNSCryptServer");

    ASSERT_TRUE(UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(2, 0)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), std::vector<std::string> { PreferencesChanged });
    EXPECT_EQ(preference("DNSCryptServer"), "dnscrypt.eu-nl");
    EXPECT_EQ(preferencesBut("DNSCryptServer"), others);
    EXPECT_EQ(selectedRow(*picker), 2) << "the tapped row stays selected";
}

// A list saved by an editor that marks UTF-8 text: a tap stores the resolver's short name all the same.
TEST_F(ResolverPickerTest, ATapInAListWithAByteOrderMarkStoresTheShortName)
{
    UITableView* picker = openWithResolvers("\xEF\xBB\xBF" + smallList, {});
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(selectedRow(*picker), 1) << "opendns, the default";

    ASSERT_TRUE(UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(0, 0)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), std::vector<std::string> { PreferencesChanged });
    EXPECT_EQ(preference("DNSCryptServer"), "quad9");
    EXPECT_EQ(selectedRow(*picker), 0);
}

// The list is read when the pane opens, not again while it is open.
TEST_F(ResolverPickerTest, TheListIsReadWhenThePaneOpens)
{
    UITableView* picker = openWithResolvers(smallList, {});
    ASSERT_NE(picker, nullptr);
    installResolverList("Name,Full name\nreplaced,Replaced\n");
    post(DNSChanged);
    ASSERT_TRUE(settle());
    picker = resolverPicker();
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(rowTitles(*picker), (std::vector<std::string> { "Quad9", "OpenDNS", "DNSCrypt.eu Holland" }));

    closePane();
    openPane();
    picker = resolverPicker();
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(rowTitles(*picker), std::vector<std::string> { "Replaced" });
}

} // namespace
