#include "Platform/Json/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

TEST(Json, NumbersPrintLikeJavaScript)
{
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {90, "90"},
        {0.1, "0.1"},
        {-0.0, "0"},
        {1e300, "1e+300"},
        {1e21, "1e+21"},
        {1e20, "100000000000000000000"},
        {123.456, "123.456"},
        {0.000001, "0.000001"},
        {1e-7, "1e-7"},
        {-2.5e-10, "-2.5e-10"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {0.30000000000000004, "0.30000000000000004"},
        {-12, "-12"},
        {2600, "2600"},
        {0.5, "0.5"},
    };
    for (const auto& c : cases) EXPECT_EQ(Json::formatNumber(c.value), c.text) << c.text;
}

TEST(Json, FloatFieldsPrintShortestFloatText)
{
    EXPECT_EQ(Json::formatNumber(Json::floatNumber(0.1f)), "0.1");
    EXPECT_EQ(Json::formatNumber(Json::floatNumber(1.0f / 3.0f)), "0.33333334");
    EXPECT_EQ(static_cast<float>(Json::floatNumber(16777217.0f)), 16777217.0f);
}

TEST(Json, NonFiniteIsAnError)
{
    EXPECT_THROW(Json::formatNumber(std::nan("")), Json::Error);
    EXPECT_THROW(Json::floatNumber(std::numeric_limits<float>::infinity()), Json::Error);
    Json::Value v = {{"x", std::numeric_limits<double>::infinity()}};
    EXPECT_THROW(Json::write(v), Json::Error);
}

TEST(Json, ObjectsSortedByByteOrderOrKeptInOrder)
{
    Json::Value sorted = {{"b", 1}, {"a", 2.5}, {"B", "x"}, {"aa", {1, 2}}};
    EXPECT_EQ(Json::write(sorted), R"({"B":"x","a":2.5,"aa":[1,2],"b":1})");

    Json::OrderedValue ordered;
    ordered["z"] = 1;
    ordered["a"] = true;
    EXPECT_EQ(Json::write(ordered), R"({"z":1,"a":true})");
}

TEST(Json, PrettyAndEscapes)
{
    Json::Value v = {{"k", Json::Value::array({1, Json::Value::object()})}, {"s", "a\"\\\n\x01é"}};
    EXPECT_EQ(Json::write(v, Json::Style::pretty),
              "{\n  \"k\": [\n    1,\n    {}\n  ],\n  \"s\": \"a\\\"\\\\\\n\\u0001é\"\n}");
    EXPECT_EQ(Json::parse(Json::write(v)), v);
}

TEST(Json, MalformedTextIsAnError)
{
    EXPECT_THROW(Json::parse("{\"a\":"), Json::Error);
    EXPECT_THROW(Json::parse(""), Json::Error);
}

// The streaming writer prints what the document writer prints for the same (sorted) document.
TEST(Json, StreamingWriterMatchesTheDocumentWriterAndKeepsKeysSorted)
{
    const auto document = Json::parse(R"({"a":[1,-2.5,1e-7,"t\n\"",true,null,{}],"b":{"x":0.1,"y":[]},"c":1e+300})");
    std::string text;
    Json::Writer w(text);
    w.beginObject();
    w.key("a");
    w.beginArray();
    w.integer(1);
    w.number(-2.5);
    w.number(1e-7);
    w.string("t\n\"");
    w.boolean(true);
    w.null();
    w.beginObject();
    w.endObject();
    w.endArray();
    w.key("b");
    w.beginObject();
    w.key("x");
    w.floatNumber(0.1f);
    w.key("y");
    w.beginArray();
    w.endArray();
    w.endObject();
    w.key("c");
    w.number(1e300);
    w.endObject();
    EXPECT_TRUE(w.complete());
    EXPECT_EQ(text, Json::write(document));

    std::string other;
    Json::Writer bad(other);
    bad.beginObject();
    bad.key("b");
    bad.integer(1);
    EXPECT_THROW(bad.key("a"), Json::Error);
    EXPECT_THROW(bad.key("b"), Json::Error) << "a repeated key";
    EXPECT_THROW(bad.integer(2), Json::Error) << "a value where a key is due";
    EXPECT_THROW(bad.number(std::nan("")), Json::Error);
    EXPECT_THROW(bad.endArray(), Json::Error);
}

// The event reader reports integers and other numbers apart, and stops on malformed text.
TEST(Json, EventReaderReportsTheDocumentInOrder)
{
    struct Log final : Json::Events {
        std::string out;
        void null() override { out += "n "; }
        void boolean(bool v) override { out += v ? "T " : "F "; }
        void integer(std::int64_t v) override { out += "i" + std::to_string(v) + " "; }
        void number(double v) override { out += "d" + Json::formatNumber(v) + " "; }
        void string(std::string& v) override { out += "s" + v + " "; }
        void beginObject() override { out += "{ "; }
        void key(std::string& k) override { out += "k" + k + " "; }
        void endObject() override { out += "} "; }
        void beginArray() override { out += "[ "; }
        void endArray() override { out += "] "; }
    } log;
    Json::parseEvents(R"({"a":[1,-2,2.0,18446744073709551615,"x",null,false],"b":{}})", log);
    EXPECT_EQ(log.out, "{ ka [ i1 i-2 d2 d18446744073709552000 sx n F ] kb { } } ");
    Log broken;
    EXPECT_THROW(Json::parseEvents(R"({"a":[1,)", broken), Json::Error);
    EXPECT_EQ(broken.out, "{ ka [ i1 ");
}

// The event reader accepts exactly what the document parser accepts (the take fuzzer compares the
// two on arbitrary bytes; these are the corners worth naming).
TEST(Json, EventReaderAcceptsWhatTheDocumentParserAccepts)
{
    struct Ignore final : Json::Events {
        void null() override {}
        void boolean(bool) override {}
        void integer(std::int64_t) override {}
        void number(double) override {}
        void string(std::string&) override {}
        void beginObject() override {}
        void key(std::string&) override {}
        void endObject() override {}
        void beginArray() override {}
        void endArray() override {}
    };
    const char* texts[] = {
        "\xEF\xBB\xBF{}",
        "\xEF\xBB{}",
        " [1 , 2 ] ",
        "[1,]",
        "{\"a\":1,}",
        "01",
        "-",
        "-0",
        "1.",
        ".5",
        "1e",
        "1e+5",
        "1E400",
        "1e-400",
        "-9223372036854775809",
        "18446744073709551616",
        "\"\\ud83d\\ude00\"",
        "\"\\ud83d\"",
        "\"\\ude00\"",
        "\"\\u00zz\"",
        "\"\xC0\xAF\"",
        "\"\xED\xA0\x80\"",
        "\"\xF4\x90\x80\x80\"",
        "\"\xE2\x82\xAC\"",
        "\"\t\"",
        "\"\\/\"",
        "\"\\x\"",
        "tru",
        "nul",
        "[[[[]]]]",
        "{\"a\" 1}",
        "{1:2}",
        "[1 2]",
        "",
        "  ",
        "{}{}",
    };
    for (const char* text : texts) {
        Ignore ignore;
        bool events = true, document = true;
        try {
            Json::parseEvents(text, ignore);
        } catch (const Json::Error&) {
            events = false;
        }
        try {
            Json::parse(text);
        } catch (const Json::Error&) {
            document = false;
        }
        EXPECT_EQ(events, document) << text;
    }
}
