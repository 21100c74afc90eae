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
        {90, "90"}, {0.1, "0.1"}, {-0.0, "0"}, {1e300, "1e+300"}, {1e21, "1e+21"},
        {1e20, "100000000000000000000"}, {123.456, "123.456"}, {0.000001, "0.000001"},
        {1e-7, "1e-7"}, {-2.5e-10, "-2.5e-10"}, {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"}, {0.30000000000000004, "0.30000000000000004"},
        {-12, "-12"}, {2600, "2600"}, {0.5, "0.5"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Json::formatNumber(c.value), c.text) << c.text;
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
