// Validates .glb files with the Khronos glTF validator. Prints each file's counts and every error
// or warning; exits 1 when any file has an error or a warning.
'use strict';
const fs = require('fs');
const validator = require('gltf-validator');

(async () => {
  let bad = false;
  for (const file of process.argv.slice(2)) {
    const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), { maxIssues: 200 });
    const issues = report.issues;
    console.log(`${file}: ${issues.numErrors} errors, ${issues.numWarnings} warnings, ` +
                `${issues.numInfos} infos, ${issues.numHints} hints`);
    for (const m of issues.messages) {
      if (m.severity <= 1) console.log(`  ${m.severity === 0 ? 'error' : 'warning'} ${m.code}: ${m.message} at ${m.pointer}`);
    }
    if (issues.numErrors > 0 || issues.numWarnings > 0) bad = true;
  }
  process.exit(bad ? 1 : 0);
})().catch((e) => { console.error(e); process.exit(2); });
