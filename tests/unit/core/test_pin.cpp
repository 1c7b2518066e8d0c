#include "engine/pin.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {

// Salt 00 01 .. 0f and PIN "1234": SHA-256 of those 20 bytes, worked out
// outside the program (printf | xxd -r -p, then the PIN, into sha256sum).
const char kSaltHex[] = "000102030405060708090a0b0c0d0e0f";
const char kHash1234[] = "bad0b4f7cae08eb7c1b5acc763a8ed25242e2c9173e81f3f624b1fa5303cf6ce";

void counting_salt(unsigned char salt[TG_PIN_SALT_BYTES], unsigned char first)
{
    for (size_t i = 0; i < TG_PIN_SALT_BYTES; i++)
        salt[i] = static_cast<unsigned char>(first + i);
}

std::string stored_for(const unsigned char* salt, const char* pin)
{
    char out[TG_PIN_STORED_SIZE];
    EXPECT_TRUE(pin_format_stored(salt, pin, out, sizeof out)) << pin;
    return out;
}

const std::string kStored1234 = std::string(kSaltHex) + ":" + kHash1234;

} // namespace

TEST(TamperPin, KnownVector)
{
    unsigned char salt[TG_PIN_SALT_BYTES];
    counting_salt(salt, 0);
    EXPECT_EQ(stored_for(salt, "1234"), kStored1234);
    EXPECT_EQ(kStored1234.size(), TG_PIN_STORED_LENGTH);

    PinStored parsed;
    ASSERT_TRUE(pin_parse_stored(kStored1234.c_str(), &parsed));
    EXPECT_EQ(std::memcmp(parsed.salt, salt, sizeof salt), 0);
    EXPECT_STREQ(parsed.hash, kHash1234);

    EXPECT_TRUE(pin_verify(kStored1234.c_str(), "1234"));
    const char* wrong[] = {"123", "12345", "1234 ", " 1234", "4321", "", nullptr};
    for (const char* pin : wrong)
        EXPECT_FALSE(pin_verify(kStored1234.c_str(), pin)) << (pin ? pin : "(null)");
}

TEST(TamperPin, LengthLimits)
{
    unsigned char salt[TG_PIN_SALT_BYTES];
    counting_salt(salt, 0x40);
    std::string pin64(64, 'k');
    std::string pin65(65, 'k');
    std::string stored = stored_for(salt, pin64.c_str());
    EXPECT_TRUE(pin_verify(stored.c_str(), pin64.c_str()));
    EXPECT_TRUE(pin_length_ok(pin64.c_str()));
    EXPECT_TRUE(pin_length_ok("1"));

    char out[TG_PIN_STORED_SIZE] = "untouched";
    EXPECT_FALSE(pin_format_stored(salt, pin65.c_str(), out, sizeof out));
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(pin_format_stored(salt, "", out, sizeof out));
    EXPECT_FALSE(pin_format_stored(salt, nullptr, out, sizeof out));
    EXPECT_FALSE(pin_length_ok(pin65.c_str()));
    EXPECT_FALSE(pin_length_ok(""));
    EXPECT_FALSE(pin_length_ok(nullptr));

    // A 65-byte PIN is refused before hashing, even when its first 64 bytes
    // are the right PIN.
    EXPECT_FALSE(pin_verify(stored.c_str(), pin65.c_str()));

    // A buffer one short of the stored value is refused, never overrun.
    char small[TG_PIN_STORED_SIZE - 1];
    EXPECT_FALSE(pin_format_stored(salt, "1234", small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(TamperPin, TwoSaltsBothVerify)
{
    unsigned char a[TG_PIN_SALT_BYTES];
    unsigned char b[TG_PIN_SALT_BYTES];
    counting_salt(a, 0x10);
    counting_salt(b, 0xf0); // wraps past 0xff: high nibbles too
    std::string sa = stored_for(a, "s3cret PIN");
    std::string sb = stored_for(b, "s3cret PIN");
    EXPECT_NE(sa, sb);
    EXPECT_NE(sa.substr(33), sb.substr(33)); // the salt changes the hash too
    EXPECT_TRUE(pin_verify(sa.c_str(), "s3cret PIN"));
    EXPECT_TRUE(pin_verify(sb.c_str(), "s3cret PIN"));
    EXPECT_FALSE(pin_verify(sa.c_str(), "S3cret PIN")); // no case folding
    for (char c : sa)
        EXPECT_TRUE(c == ':' || std::isdigit(static_cast<unsigned char>(c)) ||
                    (c >= 'a' && c <= 'f'))
            << sa;
}

TEST(TamperPin, DamagedStoredValues)
{
    std::string upper_salt = kStored1234;
    for (size_t i = 0; i < 32; i++)
        upper_salt[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper_salt[i])));
    ASSERT_NE(upper_salt, kStored1234);
    EXPECT_TRUE(pin_parse_stored(upper_salt.c_str(), nullptr));
    EXPECT_TRUE(pin_verify(upper_salt.c_str(), "1234"));

    std::string colon_moved = kStored1234;
    colon_moved[32] = '0';
    colon_moved[31] = ':';
    std::string non_hex_salt = kStored1234;
    non_hex_salt[5] = 'g';
    std::string nul_inside = kStored1234;
    nul_inside[50] = '\0';
    const std::string damaged[] = {
        "",
        kStored1234.substr(0, 96),
        kStored1234 + "0",
        "0" + kStored1234.substr(0, 96), // right length, colon one late
        colon_moved,
        non_hex_salt,
        std::string(97, ':'),
        std::string(kSaltHex) + "-" + kHash1234,
        nul_inside,
    };
    for (const std::string& s : damaged) {
        EXPECT_FALSE(pin_parse_stored(s.c_str(), nullptr)) << s;
        EXPECT_FALSE(pin_verify(s.c_str(), "1234")) << s;
    }
    EXPECT_FALSE(pin_parse_stored(nullptr, nullptr));
    EXPECT_FALSE(pin_verify(nullptr, "1234"));
}

// Every single changed character of the hash fails, wherever it is: the
// comparison looks at all 64 positions.
TEST(TamperPin, AnyHashDifferenceFails)
{
    for (size_t i = 33; i < TG_PIN_STORED_LENGTH; i++) {
        std::string s = kStored1234;
        s[i] = s[i] == '0' ? '1' : '0';
        EXPECT_TRUE(pin_parse_stored(s.c_str(), nullptr));
        EXPECT_FALSE(pin_verify(s.c_str(), "1234")) << "position " << i;
    }
}

TEST(TamperPin, ReadFromConfig)
{
    struct Case {
        std::string config;
        bool is_set;
    };
    const Case cases[] = {
        {"tamper_pin_hash=" + kStored1234 + "\r\n", true},
        {"# pin\ntamper_required=1\ntamper_pin_hash=" + kStored1234 + "\n", true},
        {"tamper_pin_hash=\n", false},
        {"tamper_required=1\n", false},
        {"", false},
        // Overlong values must not be cut down into a well-formed one.
        {"tamper_pin_hash=" + kStored1234 + "0\n", false},
        {"tamper_pin_hash=" + kStored1234 + std::string(300, 'f') + "\n", false},
    };
    for (const Case& c : cases) {
        char stored[TG_PIN_READ_SIZE];
        pin_read_stored(c.config.data(), c.config.size(), stored);
        EXPECT_EQ(pin_parse_stored(stored, nullptr), c.is_set) << c.config;
        EXPECT_EQ(pin_verify(stored, "1234"), c.is_set) << c.config;
    }
    char stored[TG_PIN_READ_SIZE];
    pin_read_stored(nullptr, 0, stored);
    EXPECT_STREQ(stored, "");
}
