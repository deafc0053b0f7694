// Opens a run's index.html from the disk in headless Chromium, as a person would, and checks it:
// every picture loads (scrolled into view, since they load lazily), every link leads to a file,
// and the page logs no error. Prints what it found; exits 1 on any fault.
//
// usage: node check-index.js FOLDER/index.html
'use strict';
const fs = require('fs');
const path = require('path');
const { pathToFileURL, fileURLToPath } = require('url');
const { chromium } = require('playwright-core');

(async () => {
  const page_path = path.resolve(process.argv[2]);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--no-first-run', '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--disable-gpu'],
  });
  const page = await browser.newPage({ viewport: { width: 1000, height: 800 } });
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
    if (!fs.existsSync(fileURLToPath(href))) faults.push(`link to nothing: ${href}`);
  }
  await browser.close();
  console.log(`index: ${count} pictures, ${links.length} links, ${faults.length} faults`);
  for (const f of faults) console.log(`  ${f}`);
  process.exit(faults.length ? 1 : 0);
})().catch((e) => { console.error(e); process.exit(2); });
