#include "config/conf_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/conf_file.h"

namespace {

const ConfKey& Key(const char* name) {
    const ConfKey* key = FindConfKey(name);
    EXPECT_NE(key, nullptr) << name;
    return *key;
}

// A value as the key parses and then shows it; "!" + the reason when it
// is refused.
std::string Parsed(const char* name, const std::string& text) {
    ConfValues values;
    if (std::optional<std::string> reason = ParseConfValue(Key(name), text, values)) {
        EXPECT_EQ(values, ConfValues()) << "a refused value changed nothing";
        return "!" + *reason;
    }
    return Key(name).show(values);
}

TEST(ConfKeysTest, ValuesParseOrSayWhy) {
    const std::string range = "is not a range LOW-HIGH of ports with 1024 <= LOW <= HIGH <= 65535";
    const std::string address = "is neither an IPv4 address nor a host name";
    struct Case {
        const char* key;
        std::string text, shown;
    };
    const Case cases[] = {
        {"passive_ports", "", ""},
        {"passive_ports", "50000-50099", "50000-50099"},
        {"passive_ports", "1024-1024", "1024-1024"},
        {"passive_ports", "65535-65535", "65535-65535"},
        {"passive_ports", "50000 - 50099", "50000-50099"},
        {"passive_ports", "1023-2000", "!passive_ports '1023-2000' " + range},
        {"passive_ports", "3000-2999", "!passive_ports '3000-2999' " + range},
        {"passive_ports", "2000-65536", "!passive_ports '2000-65536' " + range},
        {"passive_ports", "50000", "!passive_ports '50000' " + range},
        {"passive_ports", "50000-", "!passive_ports '50000-' " + range},
        {"passive_ports", "-50000", "!passive_ports '-50000' " + range},
        {"passive_ports", "+2000-3000", "!passive_ports '+2000-3000' " + range},
        {"passive_ports", "2000-3000-4000", "!passive_ports '2000-3000-4000' " + range},
        {"passive_ports", "0002000-3000", "!passive_ports '0002000-3000' " + range},
        {"passive_ports", "99999999999-2000", "!passive_ports '99999999999-2000' " + range},
        {"passive_address", "", ""},
        {"passive_address", "203.0.113.7", "203.0.113.7"},
        {"passive_address", "ftp.example.org", "ftp.example.org"},
        {"passive_address", "ftp.example.org.", "ftp.example.org."},
        {"passive_address", "my-host", "my-host"},
        {"passive_address", "x1." + std::string(63, 'a') + ".net", "x1." + std::string(63, 'a') + ".net"},
        {"passive_address", "1.2.3.256", "!passive_address '1.2.3.256' " + address},
        {"passive_address", "1.2.3", "!passive_address '1.2.3' " + address},
        {"passive_address", "-bad.example", "!passive_address '-bad.example' " + address},
        {"passive_address", "bad-.example", "!passive_address 'bad-.example' " + address},
        {"passive_address", "a..b", "!passive_address 'a..b' " + address},
        {"passive_address", ".a", "!passive_address '.a' " + address},
        {"passive_address", "under_score.example", "!passive_address 'under_score.example' " + address},
        {"passive_address", "::1", "!passive_address '::1' " + address},
        {"passive_address", "two words", "!passive_address 'two words' " + address},
        {"passive_address", std::string(64, 'a') + ".net",
         "!passive_address '" + std::string(64, 'a') + ".net' " + address},
        {"passive_address", std::string(254, 'a'), "!passive_address '" + std::string(254, 'a') + "' " + address},
        {"port_mapping", "", "no"},
        {"port_mapping", "yes", "yes"},
        {"port_mapping", "no", "no"},
        {"port_mapping", "Yes", "!port_mapping 'Yes' must be yes or no"},
        {"port_mapping", "1", "!port_mapping '1' must be yes or no"},
        {"ipv6", "", "no"},
        {"ipv6", "yes", "yes"},
        {"ipv6", "no", "no"},
        {"ipv6", "on", "!ipv6 'on' must be yes or no"},
        {"apply_limits", "", "no"},
        {"apply_limits", "yes", "yes"},
        {"apply_limits", "no", "no"},
        {"apply_limits", "YES", "!apply_limits 'YES' must be yes or no"},
        {"apply_limits", "true", "!apply_limits 'true' must be yes or no"},
        {"password_storage", "", "plain"},
        {"password_storage", "hashed", "hashed"},
        {"password_storage", "plain", "plain"},
        {"password_storage", "Hashed", "!password_storage 'Hashed' must be plain or hashed"},
        {"password_storage", "yes", "!password_storage 'yes' must be plain or hashed"},
        {"transfer_log", "", ""},
        {"transfer_log", "xferlog", "xferlog"},
        {"transfer_log", "/var/log/tarnhold/my xferlog", "/var/log/tarnhold/my xferlog"},
        {"transfer_log", "/var/log/", "!transfer_log '/var/log/' names a folder, not a file"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parsed(c.key, c.text), c.shown) << c.key << " = " << c.text;
    }
}

TEST(ConfKeysTest, EveryKeyDefaultsToTheDesignsBehaviour) {
    for (const ConfKey& key : ConfKeys()) {
        SCOPED_TRACE(key.name);
        EXPECT_EQ(FindConfKey(key.name), &key);
        // The default text parses, to what a fresh ConfValues holds.
        ConfValues values;
        EXPECT_EQ(ParseConfValue(key, key.defaultText, values), std::nullopt);
        EXPECT_EQ(values, ConfValues());
        EXPECT_EQ(key.show(values), key.defaultText);
    }
    EXPECT_EQ(FindConfKey("port"), nullptr);
}

TEST(ConfKeysTest, TheFileGivesTheLastLinesValuesAndLogsTheRefusedOnes) {
    ConfFile file;
    file.SetText(
        "# settings\r\n"
        "passive_ports = 40000-40009\r\n"
        "port_mapping = yes\r\n"
        "passive_address = 203.0.113.7\r\n"
        "passive_ports = 80-90\r\n"
        "passive_address = nas.example.net\r\n"
        "newer_key = anything\r\n"
        "passive ports 50000-50099\r\n"
        " = 50000-50099\r\n");
    std::vector<ConfError> errors;
    const ConfValues values = ParseConf(file, &errors);
    // The last passive_ports line counts although refused: the default.
    EXPECT_EQ(values.passivePorts, std::nullopt);
    EXPECT_EQ(values.passiveAddress, "nas.example.net");
    EXPECT_TRUE(values.portMapping);
    std::vector<std::string> logged;
    for (const ConfError& e : errors) logged.push_back(e.LogText());
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "tarnhold.conf line 5: passive_ports '80-90' is not a range LOW-HIGH "
                          "of ports with 1024 <= LOW <= HIGH <= 65535",
                          "tarnhold.conf line 8: 'passive ports 50000-50099' is not a line of "
                          "the form key = value",
                          "tarnhold.conf line 9: '= 50000-50099' is not a line of the form key = "
                          "value",
                      }));
    EXPECT_EQ(ParseConf(ConfFile()), ConfValues());
}

TEST(ConfKeysTest, SetChangesLineAndValueTogetherOrNeither) {
    const std::string before = "# mine\npassive_ports = 40000-40009\n";
    ConfFile file;
    file.SetText(before);
    ConfValues values = ParseConf(file);
    for (const char* refused : {"80-90", "50000-50099\nport_mapping = yes", "1\r"}) {
        EXPECT_NE(SetConfValue(file, values, Key("passive_ports"), refused), std::nullopt);
        EXPECT_EQ(file.Text(), before);
        EXPECT_EQ(values.passivePorts, (PortRange{40000, 40009}));
    }
    EXPECT_EQ(SetConfValue(file, values, Key("passive_ports"), " 50000-50099 "), std::nullopt);
    EXPECT_EQ(SetConfValue(file, values, Key("port_mapping"), "yes"), std::nullopt);
    EXPECT_EQ(file.Text(), "# mine\npassive_ports = 50000-50099\nport_mapping = yes\n");
    EXPECT_EQ(values, ParseConf(file));

    EXPECT_EQ(SetConfValue(file, values, Key("passive_ports"), ""), std::nullopt);
    EXPECT_EQ(file.Text(), "# mine\npassive_ports =\nport_mapping = yes\n");
    EXPECT_EQ(values.passivePorts, std::nullopt);
    EXPECT_EQ(values, ParseConf(file));
}

}  // namespace
