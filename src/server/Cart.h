// Cart.h - the shopping cart page: one cart for every client, a fixed catalogue of three
// items. The slots live in ServerState (AddToCartSlots, CartSnapshot), which serialises them.
#pragma once

#include <span>

class CSocketStream;

struct CCatalogueItem {
    const char* m_name;
    double m_price;
};

// Milk, Pizza, Cheese Puffs, in the order the `item` keyword numbers them.
std::span<const CCatalogueItem> Catalogue();

// Adds the request's `item` and `quantity` to the first free slot (nothing when the cart is
// full or the item is not in the catalogue), then writes the cart page.
void AddToCart(CSocketStream& out);
// Writes the whole cart page: header block, one row per used slot, the total, a footer.
void ShowCart(CSocketStream& out);
