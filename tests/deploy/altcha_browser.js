// The proof-of-work widget of npm's `altcha` package (tests/deploy's pinned
// copy) in a real Chromium, on a page served by lighttpd with the widget
// markup of docs/forms.md: it fetches a challenge from the program, solves
// it, the form posts and the mail arrives; the same answer posted again is
// refused. Needs a run directory made by deploy/serve.sh with `captcha
// altcha` (tests/deploy/run_all.sh altcha starts it): QUILLON_RUN.
//
//   node altcha_browser.js                the cases
//   node altcha_browser.js --cost N...    prints the widget's solve times at
//                                         each altcha_cost (bench/altcha_bench.py)
'use strict';

const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const repo = path.resolve(__dirname, '..', '..');
const chromiumPath = process.env.QUILLON_CHROMIUM || '/usr/bin/chromium';
const widgetBuild = path.join(__dirname, 'node_modules', 'altcha', 'dist', 'main', 'altcha.min.js');

function installation() {
  const runDir = process.env.QUILLON_RUN;
  if (!runDir) throw new Error('QUILLON_RUN is not set (run tests/deploy/run_all.sh altcha)');
  const state = {};
  for (const line of fs.readFileSync(path.join(runDir, 'state.env'), 'utf8').split('\n')) {
    const eq = line.indexOf('=');
    if (eq > 0) state[line.slice(0, eq)] = line.slice(eq + 1);
  }
  return state;
}

// The block of docs/forms.md marked `<!-- test: altcha-widget -->`.
function widgetSnippet() {
  const doc = fs.readFileSync(path.join(repo, 'docs', 'forms.md'), 'utf8');
  const marked = doc.split('<!-- test: altcha-widget -->');
  assert.equal(marked.length, 2, 'docs/forms.md has one altcha-widget block');
  const block = /^\s*```html\n([\s\S]*?)\n```/.exec(marked[1]);
  assert.ok(block, 'the altcha-widget mark stands before an html block');
  return block[1];
}

// The site's own copy of the widget where the snippet loads it from, and
// the page holding the snippet. The snippet's integrity hash must be the
// copy's: a browser runs no script whose hash differs.
function installPage(run) {
  const snippet = widgetSnippet();
  const src = /<script[^>]* src="([^"]+)"/.exec(snippet)[1];
  const copy = path.join(run.QUILLON_RUN, 'htdocs', src);
  fs.mkdirSync(path.dirname(copy), { recursive: true, mode: 0o755 });
  fs.copyFileSync(widgetBuild, copy);
  fs.chmodSync(copy, 0o644);
  const hash = 'sha384-' + crypto.createHash('sha384').update(fs.readFileSync(copy)).digest('base64');
  const version = require('./node_modules/altcha/package.json').version;
  assert.ok(snippet.includes(`integrity="${hash}"`),
    `docs/forms.md's integrity hash is not that of altcha ${version}'s build: ${hash}`);
  fs.writeFileSync(path.join(run.QUILLON_RUN, 'htdocs', 'altcha.html'),
    '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>Contact</title>' +
    `</head><body>\n${snippet}\n</body></html>\n`, { mode: 0o644 });
  return run.QUILLON_URL + 'altcha.html';
}

// Ticks the widget of the page shown and waits for its answer: the
// `altcha` field's value.
async function solveOnPage(page) {
  // The tick's mark lies over the box: a person's click lands on it.
  await page.locator('altcha-widget input[type="checkbox"]').click({ force: true });
  await page.waitForFunction(() => document.querySelector('input[name="altcha"]')?.value,
    null, { timeout: 60000 });
  return page.locator('input[name="altcha"]').inputValue();
}

function storedMessages(dir) {
  return fs.readdirSync(dir).filter((n) => n.endsWith('.eml')).sort();
}

async function waitForNewMessage(dir, before) {
  for (let i = 0; i < 100; i++) {
    const now = storedMessages(dir).filter((n) => !before.includes(n));
    if (now.length) return now[0];
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`no new message in ${dir}`);
}

async function solvedPostedOnceCase(page, run, url) {
  const before = storedMessages(run.QUILLON_MAIL_DIR);
  await page.goto(url);
  await page.fill('input[name="Name:"]', 'Ann Widget');
  const payload = await solveOnPage(page);
  const [response] = await Promise.all([page.waitForNavigation(), page.click('button')]);
  assert.equal(response.status(), 200);
  assert.equal(await page.title(), 'Message sent');
  const name = await waitForNewMessage(run.QUILLON_MAIL_DIR, before);
  const mail = fs.readFileSync(path.join(run.QUILLON_MAIL_DIR, name), 'latin1');
  assert.ok(mail.includes('Ann Widget'), mail.slice(0, 2000));
  assert.ok(!mail.includes(payload.slice(0, 40)), 'the answer reached the mail');
  // The same answer again, as a script would replay it.
  const again = await page.evaluate(async ([cgi, value]) => {
    const body = new URLSearchParams({ 'Name:': 'Ann Widget', altcha: value });
    const r = await fetch(cgi, { method: 'POST', body, headers: { Accept: 'application/json' } });
    return { status: r.status, json: await r.json() };
  }, [run.QUILLON_CGI_URL, payload]);
  assert.equal(again.status, 403, JSON.stringify(again.json));
  assert.equal(again.json.outcome, 'captcha_failed', JSON.stringify(again.json));
  assert.equal(storedMessages(run.QUILLON_MAIL_DIR).length, before.length + 1);
  const log = fs.readFileSync(run.QUILLON_CGI_LOG, 'latin1');
  assert.ok(log.includes('the altcha check failed: {the challenge was used before}'), log);
  assert.ok(!log.includes(payload.slice(0, 40)), 'the answer reached the log');
}

// Solve times of the widget at each cost, as it reports them in its
// answer: the settings' last altcha_cost line wins.
async function measure(page, run, url, costs, rounds) {
  const ini = path.join(run.QUILLON_RUN, 'cgi-bin', 'quillon.ini');
  const settings = fs.readFileSync(ini);
  try {
    for (const cost of costs) {
      fs.writeFileSync(ini, Buffer.concat([settings, Buffer.from(`altcha_cost ${cost}\n`)]));
      const times = [];
      for (let i = 0; i < rounds; i++) {
        await page.goto(url);
        const payload = await solveOnPage(page);
        const answer = JSON.parse(Buffer.from(payload, 'base64').toString('utf8'));
        assert.equal(answer.challenge.parameters.cost, cost);
        times.push(answer.solution.time);
      }
      // The counter lies anywhere below the challenge's range: the mean is
      // the typical visitor's wait, the extremes its spread.
      times.sort((a, b) => a - b);
      const mean = times.reduce((sum, t) => sum + t, 0) / rounds;
      console.log(`altcha_cost ${cost}: widget solve mean ${Math.round(mean)} ms, median ` +
        `${Math.round(times[rounds >> 1])} ms (${Math.round(times[0])}-` +
        `${Math.round(times[rounds - 1])} ms over ${rounds} solves)`);
    }
  } finally {
    fs.writeFileSync(ini, settings);
  }
}

async function main() {
  const run = installation();
  const url = installPage(run);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quillon-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage',
      '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1'],
  });
  try {
    const page = await context.newPage();
    const costAt = process.argv.indexOf('--cost');
    if (costAt > 0) {
      const costs = process.argv.slice(costAt + 1).map(Number);
      await measure(page, run, url, costs, Number(process.env.QUILLON_ROUNDS || 7));
      return 0;
    }
    try {
      await solvedPostedOnceCase(page, run, url);
      console.log('ok - the widget solves, the form posts once, a replay is refused');
      console.log('1 passed, 0 failed');
      return 0;
    } catch (err) {
      console.log(`not ok - the widget solves, the form posts once, a replay is refused\n${err.stack}`);
      console.log('0 passed, 1 failed');
      return 1;
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().then((code) => { process.exitCode = code; }, (err) => {
  console.log(err.stack);
  console.log('0 passed, 1 failed');
  process.exitCode = 1;
});
