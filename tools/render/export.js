// Loads a converted map in headless Chromium with three.js's loaders and writes what three.js's
// exporters make of it: node export.js obj|glb IN OUT
'use strict';
const fs = require('fs');
const path = require('path');
const { chromium } = require('playwright-core');

(async () => {
  const [mode, input, output] = process.argv.slice(2);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--no-first-run', '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--disable-gpu'],
  });
  const page = await browser.newPage();
  // The page, three.js and the input are served from the disk under one made-up origin.
  await page.route('http://mapconv.test/**', (route) => {
    const name = decodeURIComponent(new URL(route.request().url()).pathname).slice(1);
    const file = name === 'input' ? input : path.join(__dirname, name);
    if (!fs.existsSync(file)) return route.fulfill({ status: 404 });
    const type = file.endsWith('.js') ? 'text/javascript' : file.endsWith('.html') ? 'text/html' : 'application/octet-stream';
    return route.fulfill({ path: file, contentType: type });
  });
  await page.goto(`http://mapconv.test/export.html?mode=${mode}&in=input`);
  await page.waitForFunction(() => window.exported || window.failed, null, { timeout: 120000 });
  const failed = await page.evaluate(() => window.failed);
  if (failed) throw new Error(failed);
  fs.writeFileSync(output, Buffer.from(await page.evaluate(() => window.exported), 'base64'));
  await browser.close();
})().catch((e) => { console.error(`export: ${e.message || e}`); process.exit(1); });
