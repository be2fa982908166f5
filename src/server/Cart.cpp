// Cart.cpp - the shared shopping cart page.
#include "server/Cart.h"

#include "server/HttpHeader.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace {

constexpr CCatalogueItem kCatalogue[] = {
    {"Milk", 2.98},
    {"Pizza", 14.55},
    {"Cheese Puffs", 4.19},
};

}  // namespace

std::span<const CCatalogueItem> Catalogue() {
    return kCatalogue;
}

void AddToCart(CSocketStream& out) {
    int item = out.m_options ? out.m_options->m_item : 0;
    int quantity = out.m_options ? out.m_options->m_quantity : 0;
    // An index outside the catalogue selects nothing: the page is shown unchanged.
    if (item >= 0 && item < static_cast<int>(std::size(kCatalogue))) {
        g_state.AddToCartSlots(&kCatalogue[item], quantity);
    }
    ShowCart(out);
}

void ShowCart(CSocketStream& out) {
    WriteHtmlHeader(out);
    out.SetFixed2(true);
    out << "<HEAD><TITLE>Shopping Cart</TITLE></HEAD>" << EndLine;
    out << "<BODY>" << EndLine;
    out << "<H2>Shopping Cart: </H2>" << EndLine;
    out << "<HR><PRE><CENTER><TABLE width=70% BORDER=2 ALIGN=RIGHT>" << EndLine;
    out << "<TR><B>"
        << "<TD ALIGN=LEFT WIDTH=30%>Description</TD>"
        << "<TD>Qty</TD>"
        << "<TD>Price</TD>"
        << "<TD>Total</TD>"
        << "<BR></B></TR>" << EndLine;
    double total = 0;
    for (const CCartSlot& slot : g_state.CartSnapshot()) {
        if (!slot.m_item) continue;
        double amount = slot.m_item->m_price * slot.m_quantity;
        total += amount;
        out << "<TR>"
            << "<TD>" << slot.m_item->m_name << "</TD>"
            << "<TD>" << slot.m_quantity << "</TD>"
            << "<TD>" << slot.m_item->m_price << "</TD>"
            << "<TD>" << amount << "</TD>"
            << "<BR></TR>";
    }
    out << "<TR><TD><B>TOTAL</B></TD><TD></TD><TD></TD><TD><B>$" << total << "</B></TD>"
        << "</TABLE></CENTER></PRE><HR>";
    out << "<I>One cart is shared by every visitor and kept until the server stops.</I>" << EndLine;
    out << "</BODY>" << EndLine;
    out.SetFixed2(false);
}
