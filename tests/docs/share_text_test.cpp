// The mail link the "Email" service opens.
#include <gtest/gtest.h>

#include "docs/share_text.hpp"

namespace lumora {
namespace {

TEST(MailtoUri, EscapesEverythingThatWouldEndAFieldOrTheUri) {
    // "&", "=", "?" and "#" would start a new field or cut the link; "+" would read as a
    // space and "%" as an escape.
    EXPECT_EQ(mailtoUri("a&b=c?d#e", "1+1 = 100%"),
              "mailto:?subject=a%26b%3Dc%3Fd%23e&body=1%2B1%20%3D%20100%25");
    EXPECT_EQ(mailtoUri("", ""), "mailto:?subject=&body=");
    EXPECT_EQ(mailtoUri("Grüße", "✓"), "mailto:?subject=Gr%C3%BC%C3%9Fe&body=%E2%9C%93");
}

TEST(MailtoUri, BodyLineBreaksBecomeOneCrlfEach) {
    EXPECT_EQ(mailtoUri("s", "a\nb\r\nc\rd\n\ne"),
              "mailto:?subject=s&body=a%0D%0Ab%0D%0Ac%0D%0Ad%0D%0A%0D%0Ae");
    // The subject is one line as given; only the body is a mail text.
    EXPECT_EQ(mailtoUri("x\ny", ""), "mailto:?subject=x%0Ay&body=");
}

}  // namespace
}  // namespace lumora
