// view_shot.js - opens a 3D page in headless Chromium (software WebGL), screenshots it before
// and after its world has loaded, and prints what the console reported as JSON.
// usage: node view_shot.js URL BEFORE.png AFTER.png   (NODE_PATH: the npm packages' folder)
"use strict";
const { chromium } = require("playwright-core");

// A picture taken while the page is still being laid out can fail with "Unable to capture
// screenshot" on a busy machine: try again a few times before giving up.
async function shot(page, path) {
    for (let attempt = 1; ; attempt++) {
        try {
            return await page.screenshot({ path });
        } catch (e) {
            if (attempt >= 5 || !String(e).includes("Unable to capture screenshot")) throw e;
            await page.waitForTimeout(500);
        }
    }
}

async function main() {
    const [url, before, after] = process.argv.slice(2);
    const browser = await chromium.launch({
        executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
        args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--use-gl=angle", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"],
    });
    const errors = [];
    try {
        const page = await browser.newPage({ viewport: { width: 1024, height: 768 } });
        page.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
        page.on("pageerror", (e) => errors.push(String(e)));
        page.on("requestfailed", (r) => errors.push("request failed: " + r.url()));
        page.on("response", (r) => { if (r.status() >= 400) errors.push(r.status() + " " + r.url()); });
        await page.goto(url, { waitUntil: "commit" });
        await shot(page, before);
        await page.waitForSelector("html[data-world=loaded]", { timeout: 120000 });
        // A few frames for the first picture to settle.
        await page.waitForTimeout(1500);
        await shot(page, after);
    } finally {
        await browser.close();
    }
    console.log(JSON.stringify({ errors }));
}

main().catch((e) => { console.error(String(e)); process.exit(1); });
