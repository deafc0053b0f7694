// Opens view.html for each view in headless Chromium and saves a screenshot once the page says
// it has drawn its frame: node shoot.js BASE_URL QUERY OUT.png [QUERY OUT.png ...]
'use strict';
const { chromium } = require('playwright-core');

(async () => {
  const [base, ...views] = process.argv.slice(2);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage({ viewport: { width: 720, height: 420 } });
  for (let i = 0; i < views.length; i += 2) {
    await page.goto(`${base}/view.html?${views[i]}`);
    await page.waitForFunction(() => document.title === 'rendered', null, { timeout: 60000 });
    await page.screenshot({ path: views[i + 1] });
  }
  await browser.close();
})().catch((e) => { console.error(e); process.exit(1); });
