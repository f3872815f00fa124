// A real Chromium fills in and submits the sample form served by a real web
// server, and the stored e-mail is checked. Needs two running installations
// made by deploy/serve.sh (tests/deploy/run_all.sh starts them):
//   QUILLON_URL, QUILLON_MAIL_DIR  one with an SMTP server
//   QUILLON_DEAD_URL               one whose SMTP server does not exist
//   QUILLON_FORMS_SITES            "web|url|mail dir ..." with attachments on,
//                                  under lighttpd and Apache (file, checkboxes)
// Screenshots go to QUILLON_ARTIFACTS (default build/deploy-artifacts).
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const repo = path.resolve(__dirname, '..', '..');
const artifacts = process.env.QUILLON_ARTIFACTS || path.join(repo, 'build', 'deploy-artifacts');
const chromiumPath = process.env.QUILLON_CHROMIUM || '/usr/bin/chromium';

// Markup and every character that needs an entity, plus UTF-8 text.
const visitor = {
  name: `Ann <b>&"' O'Neil`,
  email: 'ann@example.org',
  message: 'First line with 100% & more\nZoë says <i>hi</i>\n.\nlast line',
};

function env(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set (run tests/deploy/run_all.sh)`);
  return value;
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

// The mail with a quoted-printable body decoded (the sample settings ask
// for standard headers, which send non-ASCII text so), as UTF-8 text.
function readableMail(raw) {
  const split = raw.indexOf('\r\n\r\n') + 4;
  const head = raw.slice(0, split);
  let body = raw.slice(split);
  if (/\r\nContent-Transfer-Encoding: quoted-printable\r\n/i.test('\r\n' + head)) {
    body = body.replace(/=\r\n/g, '').replace(/=([0-9A-F]{2})/g,
      (_, hex) => String.fromCharCode(parseInt(hex, 16)));
  }
  return Buffer.from(head + body, 'latin1').toString('utf8');
}

// Fills the form and submits it; returns the raw bytes of the reply page.
async function submitForm(page, url, shotName) {
  await page.goto(url);
  await page.fill('#name', visitor.name);
  await page.fill('#email', visitor.email);
  await page.fill('#message', visitor.message);
  await page.screenshot({ path: path.join(artifacts, `${shotName}-form.png`), fullPage: true });
  const [response] = await Promise.all([
    page.waitForNavigation(),
    page.click('#send'),
  ]);
  assert.equal(response.status(), 200);
  await page.screenshot({ path: path.join(artifacts, `${shotName}-reply.png`), fullPage: true });
  return (await response.body()).toString('utf8');
}

// The value must arrive as text: escaped in the bytes, no element made of it.
async function checkEscapedName(page, raw) {
  assert.match(raw, /Ann &lt;b&gt;&amp;&quot;(&#39;|&#x27;|&apos;) O(&#39;|&#x27;|&apos;)Neil/);
  assert.equal(await page.textContent('#name'), visitor.name);
  assert.equal(await page.locator('#name b').count(), 0);
}

async function sentCase(page) {
  const mailDir = env('QUILLON_MAIL_DIR');
  const before = storedMessages(mailDir);
  const raw = await submitForm(page, env('QUILLON_URL'), 'sent');
  assert.equal(await page.title(), 'Message sent');
  await checkEscapedName(page, raw);
  assert.equal(await page.textContent('#email'), visitor.email);
  assert.equal(await page.textContent('#message'), visitor.message);
  assert.equal(await page.locator('#message i').count(), 0);

  const name = await waitForNewMessage(mailDir, before);
  const mail = readableMail(fs.readFileSync(path.join(mailDir, name)).toString('latin1'));
  const meta = JSON.parse(fs.readFileSync(path.join(mailDir, name.replace('.eml', '.json'))));
  assert.equal(meta.mail_from, 'form@example.com');
  assert.deepEqual(meta.rcpt_tos, ['owner@example.com']);
  // The domain of the settings' own From address.
  assert.equal(meta.helo, 'example.com');
  // The sample settings ask for CR LF; the mail itself is plain text.
  const lines = mail.split('\r\n');
  assert.ok(!/[^\r]\n/.test(mail), 'a bare LF in a CR LF message');
  assert.ok(lines.includes('Subject: Message from the contact form'));
  assert.ok(lines.includes(` Name: ${visitor.name}`), 'name line in the body');
  assert.ok(lines.includes(' Email: ann@example.org'));
  // Continuation lines line up under the first; the lone "." travels as a
  // line of its own without ending the data early.
  const pad = ' '.repeat(' Message: '.length);
  const body = lines.slice(lines.indexOf('') + 1).join('\n');
  assert.ok(body.includes(
    ` Message: First line with 100% & more\n${pad}Zoë says <i>hi</i>\n${pad}.\n${pad}last line\n`),
    `message lines in the body:\n${body}`);
}

// The sample form's honeypot field: nothing of it shows (the page looks
// the same without it), and a person's post, which leaves it empty, is sent.
async function honeypotCase(page) {
  const mailDir = env('QUILLON_MAIL_DIR');
  const before = storedMessages(mailDir);
  await page.goto(env('QUILLON_URL'));
  const trap = page.locator('input[name="website"]');
  assert.equal(await trap.count(), 1, 'the sample form has its honeypot field');
  const withTrap = await page.screenshot({ fullPage: true });
  fs.writeFileSync(path.join(artifacts, 'honeypot-form.png'), withTrap);
  await trap.evaluate((input) => input.closest('.hp').remove());
  const withoutTrap = await page.screenshot({ fullPage: true });
  assert.ok(withTrap.equals(withoutTrap), 'the honeypot field shows on the page');

  await submitForm(page, env('QUILLON_URL'), 'honeypot');
  assert.equal(await page.title(), 'Message sent');
  await waitForNewMessage(mailDir, before);
}

async function notSentCase(page) {
  const raw = await submitForm(page, env('QUILLON_DEAD_URL'), 'not-sent');
  assert.equal(await page.title(), 'Message not sent');
  await checkEscapedName(page, raw);
}

// The installations with attachments on: "web|url|mail dir" each.
function formsSites() {
  return env('QUILLON_FORMS_SITES').trim().split(/\s+/).map((entry) => {
    const [web, url, mailDir] = entry.split('|');
    return { web, url, mailDir };
  });
}

// Replaces the sample page's form by `html` (the sample stays without a
// file field), so the browser builds the body itself.
async function showForm(page, url, html) {
  await page.goto(url);
  await page.evaluate((markup) => {
    document.querySelector('#contact').outerHTML = markup;
  }, html);
}

async function postShown(page, shotName) {
  await page.screenshot({ path: path.join(artifacts, `${shotName}-form.png`), fullPage: true });
  const [response] = await Promise.all([page.waitForNavigation(), page.click('#send')]);
  assert.equal(response.status(), 200);
  await page.screenshot({ path: path.join(artifacts, `${shotName}-reply.png`), fullPage: true });
  assert.equal(await page.title(), 'Message sent');
}

// The decoded bytes of the mail's attachment named `fileName` (base64).
function attachment(mail, fileName) {
  const boundary = /boundary="([^"]+)"/.exec(mail)[1];
  const part = mail.split(`--${boundary}`).find((p) => p.includes(`filename="${fileName}"`));
  assert.ok(part, `no attachment ${fileName} in:\n${mail.slice(0, 2000)}`);
  return Buffer.from(part.slice(part.indexOf('\r\n\r\n') + 4).replace(/\s+/g, ''), 'base64');
}

const UPLOAD = Buffer.concat([Buffer.from('%PDF-1.4\r\n'), Buffer.from([...Array(256).keys()]),
  Buffer.from('\r\n.\r\nend\r\n')]);

async function fileCase(page, site) {
  const before = storedMessages(site.mailDir);
  await showForm(page, site.url, `<form id="contact" method="post" action="/cgi-bin/quillon"
      enctype="multipart/form-data">
    <label for="name">Your name</label><input id="name" name="Name:">
    <label for="cv">Your CV</label><input id="cv" name="Message:" type="file">
    <button id="send" type="submit">Send</button></form>`);
  await page.fill('#name', visitor.name);
  await page.setInputFiles('#cv', { name: 'cv.pdf', mimeType: 'application/pdf', buffer: UPLOAD });
  await postShown(page, `file-${site.web}`);
  const name = await waitForNewMessage(site.mailDir, before);
  const mail = fs.readFileSync(path.join(site.mailDir, name)).toString('latin1');
  assert.ok(mail.includes(`\r\n Message: cv.pdf (${UPLOAD.length} bytes)\r\n`), mail.slice(0, 2000));
  assert.ok(attachment(mail, 'cv.pdf').equals(UPLOAD), 'the attachment differs from the upload');
}

async function checkboxCase(page, site) {
  const before = storedMessages(site.mailDir);
  await showForm(page, site.url, `<form id="contact" method="post" action="/cgi-bin/quillon">
    <label for="name">Your name</label><input id="name" name="Name:">
    <label><input type="checkbox" name="Topics:" value="news"> News</label>
    <label><input type="checkbox" name="Topics:" value="offers"> Offers</label>
    <label><input type="checkbox" name="Topics:" value="events"> Events</label>
    <button id="send" type="submit">Send</button></form>`);
  await page.fill('#name', visitor.name);
  await page.check('input[value="news"]');
  await page.check('input[value="events"]');
  await postShown(page, `checkboxes-${site.web}`);
  const name = await waitForNewMessage(site.mailDir, before);
  const mail = fs.readFileSync(path.join(site.mailDir, name)).toString('utf8');
  assert.ok(mail.includes('\r\n Topics: news, events\r\n'), mail);
}

async function main() {
  fs.mkdirSync(artifacts, { recursive: true });
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quillon-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width: 900, height: 700 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-dev-shm-usage'],
  });
  const cases = [['form posted, mail stored, values escaped', sentCase],
    ['no SMTP server: failure page', notSentCase],
    ['hidden honeypot field: invisible, a person\'s post is sent', honeypotCase]];
  for (const site of formsSites()) {
    cases.push([`${site.web}: a multipart form with a file, attached`, (p) => fileCase(p, site)],
      [`${site.web}: a form with checkboxes, every choice`, (p) => checkboxCase(p, site)]);
  }
  let passed = 0;
  let failed = 0;
  try {
    for (const [name, run] of cases) {
      const page = await context.newPage();
      try {
        await run(page);
        passed++;
        console.log(`ok - ${name}`);
      } catch (err) {
        failed++;
        console.log(`not ok - ${name}\n${err.stack}`);
      } finally {
        await page.close();
      }
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  console.log(`screenshots in ${artifacts}`);
  console.log(`${passed} passed, ${failed} failed`);
  return failed === 0 ? 0 : 1;
}

main().then((code) => { process.exitCode = code; }, (err) => {
  console.log(err.stack);
  console.log('0 passed, 1 failed');
  process.exitCode = 1;
});
