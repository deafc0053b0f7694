// Opens a run's index.html from the disk in a headless browser, as a person would, and checks it:
// every picture loads (scrolled into view, since they load lazily), every link leads to a file or
// to a card of the page, the page is no wider than a 1,280 px window, and it logs no error. Prints
// what it found; exits 1 on any fault.
//
// usage: node check-index.js chromium|firefox FOLDER/index.html
// Both are Debian's own: chromium, and firefox-esr driven through WebDriver BiDi.
'use strict';
const fs = require('fs');
const path = require('path');
const { pathToFileURL, fileURLToPath } = require('url');
const { chromium, firefox } = require('playwright-core');

function launch(name) {
  if (name === 'firefox')
    return firefox.launch({ channel: 'moz-firefox', executablePath: '/usr/bin/firefox-esr', headless: true });
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--no-first-run', '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--disable-gpu'],
  });
}

(async () => {
  const [name, page_arg] = process.argv.slice(2);
  const page_path = path.resolve(page_arg);
  const browser = await launch(name);
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const faults = [];
  page.on('console', (m) => { if (m.type() === 'error') faults.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => faults.push(`page: ${e.message}`));
  page.on('requestfailed', (r) => faults.push(`request failed: ${r.url()}`));
  await page.goto(pathToFileURL(page_path).href);
  // Bring every lazy picture into view, then wait for each to finish.
  const count = await page.evaluate(async () => {
    for (const img of document.images) {
      img.scrollIntoView();
      await new Promise((done) => (img.complete ? done() : (img.onload = img.onerror = done)));
    }
    return document.images.length;
  });
  const broken = await page.evaluate(() =>
    Array.from(document.images).filter((i) => !(i.complete && i.naturalWidth > 0)).map((i) => i.src));
  for (const src of broken) faults.push(`picture not shown: ${src}`);
  const links = await page.evaluate(() => Array.from(document.links).map((a) => a.href));
  for (const href of links) {
    const target = new URL(href);
    if (target.hash && target.pathname === new URL(page.url()).pathname) {
      const id = decodeURIComponent(target.hash.slice(1));
      if (!(await page.evaluate((i) => document.getElementById(i) !== null, id))) faults.push(`link to no card: ${href}`);
    } else if (!fs.existsSync(fileURLToPath(href))) {
      faults.push(`link to nothing: ${href}`);
    }
  }
  const width = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
  if (width[0] > width[1]) faults.push(`page ${width[0]} px wide in a ${width[1]} px window`);
  await browser.close();
  console.log(`index in ${name}: ${count} pictures, ${links.length} links, ${faults.length} faults`);
  for (const f of faults) console.log(`  ${f}`);
  process.exit(faults.length ? 1 : 0);
})().catch((e) => { console.error(e); process.exit(2); });
