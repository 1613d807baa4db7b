#include "PaneFixture.h"

#include "UIApplication.h"
#include "UIAutomation.h"
#include "UIButton.h"

#include <map>

namespace {

using namespace PaneNames;

using SupportEmailTest = PaneTest;

const std::string addressPart = "mailto:support@tarvik.dns?subject=TarvikDNS%20Support&body=";
const std::string logHeading = "\n\n----- LOG -----\n";

int hexValue(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    return -1;
}

// Undoes %-escapes as a mail client does; a "%" that starts no escape fails the test.
std::string percentDecoded(const std::string& text)
{
    std::string decoded;
    for (size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '%') {
            decoded += text[index];
            continue;
        }
        int high = index + 2 < text.size() ? hexValue(text[index + 1]) : -1;
        int low = index + 2 < text.size() ? hexValue(text[index + 2]) : -1;
        if (high < 0 || low < 0) {
            ADD_FAILURE() << "a bare % at " << index << " of " << text;
            return decoded;
        }
        decoded += static_cast<char>(high * 16 + low);
        index += 2;
    }
    return decoded;
}

// The header fields of a mailto URL as a mail application reads them: the query after the first "?",
// fields separated by "&", each name and value by its first "=", values %-decoded.
std::map<std::string, std::string> mailFields(const std::string& url)
{
    std::map<std::string, std::string> fields;
    size_t query = url.find('?');
    if (query == std::string::npos)
        return fields;
    size_t start = query + 1;
    while (start <= url.size()) {
        size_t end = url.find('&', start);
        std::string field = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t equals = field.find('=');
        std::string name = field.substr(0, equals);
        EXPECT_EQ(fields.count(name), 0u) << "the field " << name << " comes twice";
        fields[name] = equals == std::string::npos ? "" : percentDecoded(field.substr(equals + 1));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return fields;
}

TEST_F(SupportEmailTest, ContactSupportAsksTheDaemonOncePerTap)
{
    openPane();
    auto stored = preferencesFileState();

    ASSERT_TRUE(UIAutomation::tapButton(contactButton()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), std::vector<std::string> { SupportEmailRequest });

    ASSERT_TRUE(UIAutomation::tapButton(contactButton()));
    ASSERT_TRUE(UIAutomation::tapButton(contactButton()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (std::vector<std::string> { SupportEmailRequest, SupportEmailRequest }));
    EXPECT_EQ(preferencesFileState(), stored);
    EXPECT_TRUE(UIApplication::sharedApplication().openedURLs().empty()) << "the e-mail waits for the report";
}

// The daemon's report arrives in the e-mail whole, whatever it holds, and is used once.
TEST_F(SupportEmailTest, TheReportArrivesWholeInTheEMailToSupport)
{
    std::string longReport = "DNS configuration\n\n";
    for (int resolver = 1; resolver <= 40; ++resolver) {
        longReport += "resolver #" + std::to_string(resolver) + "\n  search domain[0] : corp" + std::to_string(resolver)
                      + ".example\n  nameserver[0] : 10.0." + std::to_string(resolver) + ".1\n  if_index : 4 (en0)\n  flags    : Request A records\n\n";
    }
    struct Case {
        const char* name;
        std::optional<std::string> report;
    };
    const Case cases[] = {
        { "delimiters and escapes", "Tom & Jerry #1 + 2 = 3? 100% sure\n  nameserver[0] : 10.0.0.1\tTab" },
        { "what looks escaped already", "%41%20%%2" },
        { "fields of its own", "&body=replaced&subject=other&cc=someone@example.org" },
        { "non-ASCII", "Ümlaut ✓ 例え résolveur" },
        { "a long report of many lines", longReport },
        { "an empty report", "" },
        { "no report", std::nullopt },
    };
    openPane();
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        // As the daemon answers the request: the report first, then the notification.
        ASSERT_TRUE(UIAutomation::tapButton(contactButton()));
        ASSERT_TRUE(settle());
        ASSERT_EQ(takePosts(), std::vector<std::string> { SupportEmailRequest });
        PropertyListDictionary preferences { { "SelectedConnectivity", "None" } };
        if (test.report)
            preferences["scutil_dns"] = *test.report;
        writePreferences(preferences);
        UIApplication::sharedApplication().reset();

        post(SupportEmail);
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), std::vector<std::string> {});
        EXPECT_EQ(preference("scutil_dns"), "") << "the report is used once";

        const auto& opened = UIApplication::sharedApplication().openedURLs();
        ASSERT_EQ(opened.size(), 1u);
        const std::string& url = opened.front();
        ASSERT_TRUE(url.starts_with(addressPart)) << url;
        EXPECT_EQ(percentDecoded(url.substr(addressPart.size())), logHeading + test.report.value_or(""));
        EXPECT_EQ(url.find('#'), std::string::npos) << "a # would end the URL there";
        EXPECT_EQ(mailFields(url), (std::map<std::string, std::string> { { "subject", "TarvikDNS Support" },
                                                                          { "body", logHeading + test.report.value_or("") } }));
    }
}

TEST_F(SupportEmailTest, EachReportIsComposedOnce)
{
    writePreferences({ { "scutil_dns", "resolver #1" } });
    openPane();

    post(SupportEmail);
    ASSERT_TRUE(settle());
    post(SupportEmail);
    ASSERT_TRUE(settle());
    const auto& opened = UIApplication::sharedApplication().openedURLs();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(percentDecoded(opened[0].substr(addressPart.size())), logHeading + "resolver #1");
    EXPECT_EQ(percentDecoded(opened[1].substr(addressPart.size())), logHeading) << "the second finds the report used";
}

} // namespace
