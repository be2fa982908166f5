// The shared cart page: its exact bytes, what an add takes, and concurrent adds.
#include <gtest/gtest.h>

#include <latch>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/Cart.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace {

class CartTest : public ::testing::Test {
  protected:
    void SetUp() override { g_state.ResetForTests(); }
    void TearDown() override { g_state.ResetForTests(); }

    // The page with its Date value blanked.
    static std::string Page(const char* query, bool add) {
        COptions options(query);
        CSocketStream out;
        out.OpenMemory("");
        out.m_options = &options;
        if (add) {
            AddToCart(out);
        } else {
            ShowCart(out);
        }
        return std::regex_replace(out.TakeOutput(), std::regex("Date: [^\r]*"), "Date: *");
    }
    static std::string Rows(const std::string& page) {
        std::size_t start = page.find("<BR></B></TR>\r\n");
        std::size_t end = page.find("<TR><TD><B>TOTAL");
        if (start == std::string::npos || end == std::string::npos) return "?";
        return page.substr(start + 15, end - start - 15);
    }
};

TEST_F(CartTest, EmptyCartPageByteForByte) {
    EXPECT_EQ(Page("show", false),
              "HTTP/1.0 200 Document follows\r\n"
              "Server: Zephrin/0.9b3\r\n"
              "Date: *\r\n"
              "Content-type: text/html\r\n"
              "\r\n"
              "<HEAD><TITLE>Shopping Cart</TITLE></HEAD>\r\n"
              "<BODY>\r\n"
              "<H2>Shopping Cart: </H2>\r\n"
              "<HR><PRE><CENTER><TABLE width=70% BORDER=2 ALIGN=RIGHT>\r\n"
              "<TR><B><TD ALIGN=LEFT WIDTH=30%>Description</TD><TD>Qty</TD><TD>Price</TD>"
              "<TD>Total</TD><BR></B></TR>\r\n"
              "<TR><TD><B>TOTAL</B></TD><TD></TD><TD></TD><TD><B>$0.00</B></TD>"
              "</TABLE></CENTER></PRE><HR><I>One cart is shared by every visitor and kept until "
              "the server stops.</I>\r\n"
              "</BODY>\r\n");
}

TEST_F(CartTest, AddsTakeTheFirstFreeSlot) {
    std::string page = Page("item=1&quantity=2&add", true);
    EXPECT_EQ(Rows(page), "<TR><TD>Pizza</TD><TD>2</TD><TD>14.55</TD><TD>29.10</TD><BR></TR>");
    EXPECT_NE(page.find("<B>$29.10</B>"), std::string::npos);

    page = Page("add", true);  // no item or quantity: Milk, 0
    EXPECT_EQ(Rows(page),
              "<TR><TD>Pizza</TD><TD>2</TD><TD>14.55</TD><TD>29.10</TD><BR></TR>"
              "<TR><TD>Milk</TD><TD>0</TD><TD>2.98</TD><TD>0.00</TD><BR></TR>");

    struct Case {
        const char* label;
        const char* query;
    } outside[] = {{"past the end", "item=3&quantity=1&add"},
                   {"negative", "item=-1&quantity=1&add"},
                   {"huge", "item=99999999999&quantity=1&add"}};
    for (const Case& c : outside) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Rows(Page(c.query, true)), Rows(page));
    }
    EXPECT_EQ(Rows(Page("show&delete&buy", false)), Rows(page));
}

TEST_F(CartTest, ElevenAddsFillTenSlots) {
    std::string page;
    for (int i = 0; i < 11; ++i)
        page = Page("item=2&quantity=1&add", true);
    std::string row = "<TR><TD>Cheese Puffs</TD><TD>1</TD><TD>4.19</TD><TD>4.19</TD><BR></TR>";
    std::string ten;
    for (int i = 0; i < 10; ++i)
        ten += row;
    EXPECT_EQ(Rows(page), ten);
    EXPECT_NE(page.find("<B>$41.90</B>"), std::string::npos);
}

TEST_F(CartTest, ConcurrentAddsNeverShareASlot) {
    constexpr int kThreads = 16;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&start, i] {
            start.arrive_and_wait();
            g_state.AddToCartSlots(&Catalogue()[i % 3], i);
        });
    }
    for (auto& t : threads)
        t.join();
    std::set<int> quantities;
    for (const CCartSlot& slot : g_state.CartSnapshot()) {
        ASSERT_NE(slot.m_item, nullptr);
        EXPECT_EQ(slot.m_item, &Catalogue()[slot.m_quantity % 3]);
        quantities.insert(slot.m_quantity);
    }
    EXPECT_EQ(quantities.size(), static_cast<std::size_t>(ServerState::kCartSlots));
}

}  // namespace
