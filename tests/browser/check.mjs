// Opens rendered pages in headless Chromium, in the light and the dark
// scheme, and fails on console errors, failed requests, missing assets or
// a page wider than a phone's screen; saves a screenshot of each.
//
//   node check.mjs SITE_ROOT SHOT_DIR NAME=PATH[#ANCHOR]...
//
// SITE_ROOT is served on 127.0.0.1 by a small server of our own, so that
// every request the browser makes (favicon included) is seen and checked.
import { chromium } from "playwright-core";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";

const [root, shotDir, ...pageArgs] = process.argv.slice(2);
const pages = pageArgs.map((arg) => {
	const eq = arg.indexOf("=");
	return { name: arg.slice(0, eq), url: arg.slice(eq + 1) };
});

let passed = 0;
let failed = 0;
function check(what, ok, detail = "") {
	if (ok) {
		passed++;
	} else {
		failed++;
		console.log(`FAIL: ${what}${detail ? ": " + detail : ""}`);
	}
}

const TYPES = {
	".html": "text/html; charset=utf-8",
	".css": "text/css",
	".png": "image/png",
	".xml": "application/atom+xml",
};
const notFound = [];
const server = http.createServer((req, res) => {
	const rel = decodeURIComponent(new URL(req.url, "http://x").pathname);
	const file = path.join(root, rel);
	if (!file.startsWith(path.resolve(root) + path.sep) || !fs.existsSync(file) ||
	    !fs.statSync(file).isFile()) {
		notFound.push(rel);
		res.writeHead(404).end();
		return;
	}
	res.writeHead(200, { "Content-Type": TYPES[path.extname(file)] || "application/octet-stream" });
	fs.createReadStream(file).pipe(res);
});
await new Promise((ok) => server.listen(0, "127.0.0.1", ok));
const base = `http://127.0.0.1:${server.address().port}`;

const profile = fs.mkdtempSync(path.join(os.tmpdir(), "repopage-chromium-"));
const context = await chromium.launchPersistentContext(profile, {
	executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
	headless: true,
	args: [
		"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
		"--no-first-run", "--disable-background-networking",
		"--disable-component-update", "--disable-sync",
	],
	viewport: { width: 1000, height: 700 },
	timeout: 60000,
});

// Everything the page itself reports; the server's 404s are checked too.
async function open(page, url, scheme) {
	const problems = [];
	const onConsole = (m) => { if (m.type() === "error") problems.push(`console: ${m.text()}`); };
	const onError = (e) => problems.push(`page error: ${e.message}`);
	const onFailed = (r) => problems.push(`request failed: ${r.url()} ${r.failure()?.errorText}`);
	const onResponse = (r) => { if (r.status() >= 400) problems.push(`HTTP ${r.status()}: ${r.url()}`); };
	page.on("console", onConsole);
	page.on("pageerror", onError);
	page.on("requestfailed", onFailed);
	page.on("response", onResponse);
	notFound.length = 0;
	await page.emulateMedia({ colorScheme: scheme });
	await page.goto(base + url, { waitUntil: "load", timeout: 20000 });
	// The favicon is fetched by the browser on its own time: fetch and
	// decode it here, so a missing or broken one is found every time.
	const assets = await page.evaluate(async () => {
		const icon = document.querySelector('link[rel="icon"]');
		let iconSize = 0;
		if (icon) {
			const r = await fetch(icon.href);
			if (r.ok) iconSize = (await createImageBitmap(await r.blob())).width;
		}
		const logo = document.querySelector('img[src$="logo.png"]');
		const sheets = [...document.styleSheets].map((s) => s.cssRules.length);
		return {
			iconSize,
			logoWidth: logo && logo.complete ? logo.naturalWidth : 0,
			rules: sheets.reduce((a, b) => a + b, 0),
			background: getComputedStyle(document.body).backgroundColor,
		};
	});
	page.off("console", onConsole);
	page.off("pageerror", onError);
	page.off("requestfailed", onFailed);
	page.off("response", onResponse);
	for (const p of notFound) problems.push(`not found on the server: ${p}`);
	return { problems, ...assets };
}

// The page's width, and the first element outside a scrolling block that
// reaches past the screen's edge (scrolled off inside the content, say).
function offScreen() {
	const width = document.documentElement.clientWidth;
	let outside = "";
	for (const e of document.body.querySelectorAll("*")) {
		if (e.parentElement.closest("pre, .about table"))
			continue;
		const r = e.getBoundingClientRect();
		if (r.width > 0 && (r.left < -0.5 || r.right > width + 0.5)) {
			const name = e.tagName.toLowerCase() + (e.id ? "#" + e.id : "");
			outside = `${name} from ${Math.round(r.left)} to ${Math.round(r.right)}px: ` +
				JSON.stringify(e.textContent.slice(0, 40));
			break;
		}
	}
	return { pageWidth: document.documentElement.scrollWidth, outside };
}

const page = await context.newPage();
const backgrounds = {};
for (const scheme of ["light", "dark"]) {
	for (const { name, url } of pages) {
		const at = `${name} (${scheme})`;
		const r = await open(page, url, scheme);
		check(`${at}: no errors`, r.problems.length === 0, r.problems.join("; "));
		check(`${at}: favicon is a PNG image`, r.iconSize >= 16, `width ${r.iconSize}`);
		check(`${at}: logo shown`, r.logoWidth === 32, `width ${r.logoWidth}`);
		check(`${at}: style sheet applied`, r.rules > 10, `${r.rules} rules`);
		backgrounds[scheme] ??= r.background;
		check(`${at}: background of the scheme`, r.background === backgrounds[scheme],
		      `${r.background} vs ${backgrounds[scheme]}`);
		await page.screenshot({ path: path.join(shotDir, `${name}-${scheme}.png`), fullPage: true });
	}
}
check("light and dark backgrounds differ", backgrounds.light !== backgrounds.dark,
      JSON.stringify(backgrounds));

// What the style sheet promises, on the pages that have it.
const byName = Object.fromEntries(pages.map((p) => [p.name, p.url]));
await page.emulateMedia({ colorScheme: "light" });
if (byName.commit) {
	// The first hunk of the page, whichever file it belongs to.
	await page.goto(base + byName.commit, { waitUntil: "load" });
	const hunkId = await page.evaluate(() => document.querySelector("a.h")?.id);
	await page.goto(`${base}${byName.commit}#${hunkId}`, { waitUntil: "load" });
	const s = await page.evaluate((id) => {
		const color = (sel) => { const e = document.querySelector(sel); return e && getComputedStyle(e).color; };
		const hunk = document.getElementById(id);
		return {
			body: getComputedStyle(document.body).color,
			added: color("a.i"), deleted: color("a.d"), status: color("td.M") || color("td.A"),
			hunkTarget: hunk && getComputedStyle(hunk).backgroundColor,
		};
	}, hunkId);
	check("commit: added and deleted lines coloured", s.added && s.deleted && s.added !== s.deleted &&
	      s.added !== s.body, JSON.stringify(s));
	check("commit: status letters coloured", s.status && s.status !== s.body, JSON.stringify(s));
	check("commit: hunk anchor highlighted as target", s.hunkTarget && s.hunkTarget !== "rgba(0, 0, 0, 0)",
	      JSON.stringify(s));
}
if (byName.file) {
	await page.goto(base + byName.file.replace(/#.*/, "") + "#l3", { waitUntil: "load" });
	const bg = await page.evaluate(() => getComputedStyle(document.getElementById("l3")).backgroundColor);
	check("file: line anchor highlighted as target", bg !== "rgba(0, 0, 0, 0)", bg);
}

// Phones' widths: long lines scroll inside their own block (a file's or a
// diff's lines, a Markdown table), the page itself never gets wider than the
// screen, and nothing outside those blocks reaches past its edge.
for (const width of [390, 360]) {
	await page.setViewportSize({ width, height: 640 });
	for (const { name, url } of pages) {
		for (const scheme of ["light", "dark"]) {
			const at = `${name} (${width}px, ${scheme})`;
			const r = await open(page, url, scheme);
			check(`${at}: no errors`, r.problems.length === 0, r.problems.join("; "));
			const fit = await page.evaluate(offScreen);
			check(`${at}: no sideways scrolling of the page`, fit.pageWidth <= width, `${fit.pageWidth}px`);
			check(`${at}: nothing beyond the screen's edge`, fit.outside === "", fit.outside);
			if (scheme === "light")
				await page.screenshot({ path: path.join(shotDir, `${name}-${width}.png`), fullPage: false });
		}
	}
}

await context.close();
server.close();
fs.rmSync(profile, { recursive: true, force: true });
console.log(`browser: ${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
