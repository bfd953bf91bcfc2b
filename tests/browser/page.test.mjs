// The administration page in Chromium against a real `kivo-webapi serve` on loopback, in a
// temporary root. KIVO_BUILD_DIR names the build; screenshots go to its browser-screenshots.
import {after, before, test} from 'node:test';
import net from 'node:net';
import assert from 'node:assert/strict';
import {spawn, spawnSync} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {createRequire} from 'node:module';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const buildDir = path.resolve(process.env.KIVO_BUILD_DIR || path.join(here, '../../build'));
const webapi = path.join(buildDir, 'kivo-webapi');
const shots = path.join(buildDir, 'browser-screenshots');
const axeSource = fs.readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'),
    'utf8');

const ADMIN_PASSWORD = 'admin-secret';
const USER_PASSWORD = 'alice-secret';
const DESKTOP = {width: 1280, height: 900};
const PHONE = {width: 360, height: 740};
const CALENDAR = 'KIVO.Core.FileServ.WebDAV.CalDAV.Calendar';
const ADDRESS_BOOK = 'KIVO.Core.FileServ.WebDAV.CardDAV.AddressBook';

let root;
let server;
let baseUrl;
let browser;

// The platform's daemons run for real, on loopback: the page shows where.
const DAEMONS = {KIVO_DAEMONS: 'on', KIVO_WEBDAV_ADDRESS: '127.0.0.1'};

function webapiSync(args, input = '') {
  const run = spawnSync(webapi, args, {env: {...process.env, KIVO_ROOT: root, ...DAEMONS}, input});
  assert.equal(run.status, 0, `kivo-webapi ${args.join(' ')}: ${run.stderr}`);
  return run.stdout.toString();
}

// A loopback port nothing listens on just now.
function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const {port} = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Starts `serve` on port 0 and waits for the port it took.
function startServer() {
  return new Promise((resolve, reject) => {
    const child = spawn(webapi, ['serve', '--listen', '127.0.0.1:0'],
        {env: {...process.env, KIVO_ROOT: root, ...DAEMONS}, stdio: ['ignore', 'pipe', 'pipe']});
    let out = '';
    let err = '';
    child.stderr.on('data', (chunk) => { err += chunk; });
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const match = /listening on 127\.0\.0\.1:(\d+)/.exec(out);
      if (match) resolve({child, port: Number(match[1])});
    });
    child.on('exit', (code) => reject(new Error(`serve exited with ${code}: ${err}`)));
    setTimeout(() => reject(new Error(`serve did not start: ${err}`)), 10000).unref();
  });
}

before(async () => {
  fs.mkdirSync(shots, {recursive: true});
  root = fs.mkdtempSync(path.join(os.tmpdir(), 'kivo-page-'));
  fs.chmodSync(root, 0o755);  // others reach their homes
  const passwordFile = path.join(root, '.admin-password');
  fs.writeFileSync(passwordFile, ADMIN_PASSWORD + '\n');
  webapiSync(['init', '--admin-password-file', passwordFile]);
  fs.rmSync(passwordFile);
  webapiSync(['useradd', 'alice']);
  webapiSync(['passwd', 'alice'], USER_PASSWORD + '\n');
  webapiSync(['useradd', 'bob']);
  webapiSync(['passwd', 'bob'], USER_PASSWORD + '\n');
  const started = await startServer();
  server = started.child;
  baseUrl = `http://127.0.0.1:${started.port}/`;
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    chromiumSandbox: false,
    // Playwright gives every launch a fresh temporary profile (--user-data-dir).
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
});

after(async () => {
  if (browser) await browser.close();
  if (server && server.exitCode === null) {
    const exited = new Promise((resolve) => server.once('exit', resolve));
    server.kill('SIGTERM');
    await exited;
  }
  if (root) spawnSync(webapi, ['services', '--stop-all'], {env: {...process.env, KIVO_ROOT: root}});
  if (root && process.env.KIVO_E2E_KEEP !== '1') fs.rmSync(root, {recursive: true, force: true});
});

// A fresh context whose page fails the test on any script error, policy violation or failed
// request; `expectRefusals` lets through the 4xx answers a test provokes.
async function openPage(t, {expectRefusals = false, ...options} = {}) {
  const context = await browser.newContext({viewport: DESKTOP, ...options});
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => {
    if (m.type() === 'error' && !(expectRefusals && /status of 4\d\d/.test(m.text()))) {
      problems.push(m.text());
    }
  });
  t.after(async () => {
    await context.close();
    assert.deepEqual(problems, [], 'the page logged errors');
  });
  await page.goto(baseUrl);
  return page;
}

async function logIn(page, account, password) {
  await page.getByLabel('Account', {exact: true}).fill(account);
  await page.getByLabel('Password', {exact: true}).fill(password);
  await page.getByRole('button', {name: 'Log in'}).click();
}

async function shot(page, name) {
  await page.screenshot({path: path.join(shots, `${name}.png`), fullPage: true});
}

// axe-core in the page (through the debugging protocol): no serious or critical finding.
async function assertAccessible(page) {
  await page.evaluate(axeSource);
  const findings = await page.evaluate(async () => {
    const result = await window.axe.run(document, {resultTypes: ['violations']});
    return result.violations
        .filter((v) => v.impact === 'serious' || v.impact === 'critical')
        .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  });
  assert.deepEqual(findings, []);
}

function storedConf(key) {
  const conf = fs.readFileSync(path.join(root, 'etc/kivoinfo.conf'), 'utf8');
  const match = new RegExp(`^${key}="([^"]*)"$`, 'm').exec(conf);
  return match ? match[1] : null;
}

function calendarRow(page, name) {
  return page.locator('#calendar-rows tr').filter({has: page.getByRole('rowheader', {name})});
}

test('a wrong password is refused in words; the administrator gets every panel', async (t) => {
  const page = await openPage(t, {expectRefusals: true});
  await logIn(page, 'admin', 'not-the-password');
  await assert.doesNotReject(page.getByText('Wrong account or password.').waitFor());
  assert.equal(await page.locator('#webdav-panel').isVisible(), false);
  await shot(page, '1-login-refused');

  // The login brake: three failures are free; then each failure makes the pair wait (doubling),
  // a try within the wait is refused (429) with what is left of it, and the try after a wait
  // waited out is judged again (401). Nothing depends on how fast the machine answers: every
  // wait is read from the answer, and a slow machine only takes more tries to reach 8 s, far
  // longer than the page's login below takes.
  const guess = () => page.request.post(`${baseUrl}webapi/auth`,
      {data: {account: 'bob', password: 'guess'}});
  for (let i = 0; i < 3; ++i) assert.equal((await guess()).status(), 401, `free failure ${i}`);
  let waitedOut = false;
  for (let tries = 0, left = 0; left < 8; ++tries) {
    assert.ok(tries < 16, 'the brake never made the pair wait 8 s');
    const refused = await guess();
    if (waitedOut) assert.equal(refused.status(), 401, 'a try after its wait is judged');
    waitedOut = false;
    if (refused.status() === 401) continue;
    assert.equal(refused.status(), 429);
    left = Number(refused.headers()['retry-after']);
    assert.ok(left >= 1 && left <= 60, `Retry-After: ${left}`);
    if (left < 8) {
      await new Promise((done) => setTimeout(done, left * 1000 + 100));
      waitedOut = true;
    }
  }
  await logIn(page, 'bob', USER_PASSWORD);
  await page.getByText('Too many login attempts').waitFor();
  assert.equal(await page.getByRole('button', {name: 'Log in'}).isEnabled(), true);
  await shot(page, '1-login-braked');

  await logIn(page, 'admin', ADMIN_PASSWORD);
  await page.getByRole('heading', {name: 'WebDAV service'}).waitFor();
  await page.getByRole('heading', {name: 'CalDAV service'}).waitFor();
  await page.getByText('There are no calendars yet.').waitFor();
  assert.equal(await page.getByLabel('HTTP port').inputValue(), '5005');
  await assertAccessible(page);
  await shot(page, '1-admin-logged-in');
});

test('ports: a saved one is sent alone and kept; conflicts are said in words', async (t) => {
  // The first visit is told it is not logged in without an error status.
  const probe = await (await openPage(t)).request.get(`${baseUrl}webapi/session`);
  assert.equal(probe.status(), 200);
  assert.deepEqual(await probe.json(), {success: true, data: {logged_in: false}});
  const page = await openPage(t);
  await logIn(page, 'admin', ADMIN_PASSWORD);
  const port = page.getByLabel('HTTP port');
  // Filled only once the settings are in: their arrival would overwrite it.
  await page.waitForFunction(() => document.getElementById('http-port').value !== '');
  await port.fill('5080');
  const sent = page.waitForRequest((r) => r.url().endsWith('/webapi/entry') &&
      r.postDataJSON().method === 'set');
  await page.getByRole('button', {name: 'Save'}).first().click();
  assert.deepEqual((await sent).postDataJSON().params, {enable_http: false, enable_https: false,
    anonymouslogin_enable: false, depth_infinity_enable: false, http_port_num: 5080});
  await page.getByText('Saved. The form shows the settings now in force.').waitFor();
  assert.equal(storedConf('WebDavPort'), '5080');

  await page.reload();
  await page.getByRole('heading', {name: 'WebDAV service'}).waitFor();
  await page.waitForFunction(() => document.getElementById('http-port').value !== '');
  assert.equal(await port.inputValue(), '5080');
  await shot(page, '2-http-port-after-reload');

  // A port another service uses is named in a sentence.
  await page.waitForFunction(() => document.getElementById('https-port').value !== '');
  const httpsPort = page.getByLabel('HTTPS port');
  await httpsPort.fill('5353');  // mdns, reserved in the root's ports.json
  await page.getByRole('button', {name: 'Save'}).first().click();
  const message = page.locator('#webdav-message');
  await page.getByText('is used by another service').waitFor();
  assert.equal(await message.textContent(),
      'Port 5353 (HTTPS) is used by another service. Choose another port.');
  assert.equal(storedConf('secure_WebDavPort'), null);

  await httpsPort.fill('70000');
  await page.getByRole('button', {name: 'Save'}).first().click();
  await page.getByText('must be a whole number').waitFor();
  assert.equal(await message.textContent(),
      'The HTTPS port must be a whole number from 1 to 65535.');
  await httpsPort.fill('5353');
  await page.getByRole('button', {name: 'Save'}).first().click();
  await page.getByText('Port 5353 (HTTPS)').waitFor();
  await shot(page, '3-port-conflict');

  // Swapping the two ports in one go: the page blames the other variant, not a stranger.
  await page.getByLabel('HTTP port').fill('5006');
  await httpsPort.fill('5080');
  await page.getByRole('button', {name: 'Save'}).first().click();
  await page.getByText('is the HTTPS port now').waitFor();
  assert.equal(await message.textContent(), 'Port 5006 is the HTTPS port now; HTTP needs a ' +
      'port of its own. To swap the two, first move one of them to a free port.');
  await httpsPort.fill('5006');
  await page.getByRole('button', {name: 'Save'}).first().click();
  await page.getByText('need two different ports').waitFor();
  assert.equal(await message.textContent(), 'HTTP and HTTPS need two different ports.');
  assert.equal(storedConf('WebDavPort'), '5080');
  await shot(page, '3-port-of-the-other-variant');

  await page.getByRole('button', {name: 'Log out'}).click();
  await page.getByText('You are logged out.').waitFor();
  assert.equal((await page.request.get(`${baseUrl}webapi/shares`)).status(), 401);
});

function createByCall(name, api = CALENDAR, member = 'calendarname') {
  const params = {share: 'public', destination: 'public', [member]: name,
    fullpath: path.join(root, 'volume1/public')};
  webapiSync(['call', api, '1', 'create', JSON.stringify(params)]);
  return path.join(root, 'volume1/public', name);
}

test('damaged and missing calendars are marked; the list sorts and filters', async (t) => {
  fs.rmSync(path.join(createByCall('Broken'), '.DAV'), {recursive: true});
  fs.rmSync(createByCall('Gone'), {recursive: true});
  createByCall('Fine');
  const page = await openPage(t);
  await logIn(page, 'admin', ADMIN_PASSWORD);
  const broken = calendarRow(page, 'Broken');
  await broken.waitFor();
  assert.equal(await broken.getAttribute('data-status'), 'crashed');
  assert.match(await broken.locator('td').nth(1).textContent(), /^⚠ Damaged/);
  // One state's words in a row, whatever the other cells could say.
  assert.deepEqual(await calendarRow(page, 'Gone').locator('td').allTextContents(), ['public',
    '✖ Missing Its folder is missing from the volume.', 'No address while its folder is missing.',
    'RenameMoveDelete']);
  const names = () => page.locator('#calendar-rows th').allTextContents();
  assert.deepEqual(await names(), ['Broken', 'Fine', 'Gone']);
  const sortBy = (name) => page.locator('#calendar-table').getByRole('button', {name, exact: true})
      .click();
  await sortBy('Name');
  assert.deepEqual(await names(), ['Gone', 'Fine', 'Broken']);
  await sortBy('Status');
  assert.deepEqual(await names(), ['Broken', 'Gone', 'Fine']);
  await assertAccessible(page);
  await page.getByLabel('Filter calendars').fill('missing');
  assert.deepEqual(await names(), ['Gone']);
  await shot(page, '4-status-marks-filtered');

  // Leaves the list empty for the next test.
  await page.request.post(`${baseUrl}webapi/entry`, {data: {api: CALENDAR, version: 1,
    method: 'delete', params: {id: ['Broken:public', 'Gone:public', 'Fine:public']}}});
});

// The page's words and places of each kind of collection.
const KINDS = {
  calendar: {noun: 'calendar', Noun: 'Calendar', A: 'A calendar', contents: 'every event',
    panel: '#calendars-panel', rows: '#calendar-rows', shots: '5-calendar'},
  book: {noun: 'address book', Noun: 'Address book', A: 'An address book',
    contents: 'every contact', panel: '#books-panel', rows: '#book-rows', shots: '7-book'},
};

// An administrator creates `name` of `kind` in public, is refused a second of that name, renames
// it Board, moves it home and deletes it: each step said in the kind's panel and done on disk.
async function createRenameMoveDelete(page, kind, name) {
  const panel = page.locator(kind.panel);
  const dialog = page.getByRole('dialog');
  const row = (n) => page.locator(`${kind.rows} tr`).filter({has: page.getByRole('rowheader',
      {name: n})});
  const create = async () => {
    await panel.getByLabel(`${kind.Noun} name`).fill(name);
    await panel.getByRole('button', {name: `Create ${kind.noun}`}).click();
  };
  await panel.getByLabel('Shared folder').selectOption({label: 'public'});
  await create();
  await row(name).waitFor();
  assert.equal(await row(name).getAttribute('data-status'), 'normal');
  assert.equal(await row(name).locator('td').nth(0).textContent(), 'public');
  assert.match(await row(name).locator('td').nth(1).textContent(), /^Normal/);
  await create();
  await panel.getByText(`${kind.A} with that name already exists there.`).waitFor();
  await shot(page, `${kind.shots}-created`);

  await row(name).getByRole('button', {name: `Rename ${name}`}).click();
  await dialog.getByRole('heading', {name: `Rename ${kind.noun}`}).waitFor();
  await dialog.getByLabel('New name').fill('Board');
  await dialog.getByRole('button', {name: 'Rename'}).click();
  await panel.getByText(`${kind.Noun} “${name}” renamed to “Board”.`).waitFor();
  await row('Board').waitFor();
  assert.equal(await row(name).count(), 0);
  assert.ok(fs.existsSync(path.join(root, 'volume1/public/Board/.DAV')));
  await shot(page, `${kind.shots}-renamed`);

  await row('Board').getByRole('button', {name: 'Move Board'}).click();
  await dialog.getByLabel('Shared folder').selectOption({label: 'Your home folder'});
  await dialog.getByRole('button', {name: 'Move'}).click();
  await panel.getByText(`${kind.Noun} “Board” moved.`).waitFor();
  assert.equal(await row('Board').locator('td').nth(0).textContent(), 'homes/admin');
  assert.ok(fs.existsSync(path.join(root, 'volume1/homes/admin/Board/.DAV')));

  await row('Board').getByRole('button', {name: 'Delete Board'}).click();
  assert.match(await dialog.textContent(), new RegExp(`The ${kind.noun} “Board” in homes/admin ` +
      `will be removed, with its folder and ${kind.contents}`));
  await shot(page, `${kind.shots}-delete-confirmation`);
  await dialog.getByRole('button', {name: 'Delete'}).click();
  await panel.getByText(`${kind.Noun} “Board” deleted.`).waitFor();
  assert.equal(await row('Board').count(), 0);
  assert.equal(fs.existsSync(path.join(root, 'volume1/homes/admin/Board')), false);
}

test('a calendar is created, refused twice, renamed, moved and deleted', async (t) => {
  const page = await openPage(t);
  await logIn(page, 'admin', ADMIN_PASSWORD);
  await createRenameMoveDelete(page, KINDS.calendar, 'Team');
});

test('a user on a phone in dark mode sees calendars only, and a session end in words',
    async (t) => {
      const page = await openPage(t, {viewport: PHONE, colorScheme: 'dark', isMobile: true,
        expectRefusals: true});
      // By keyboard alone: the account field has the focus, visibly.
      await page.getByLabel('Account', {exact: true}).waitFor();
      await page.keyboard.type('alice');
      await page.keyboard.press('Tab');
      assert.equal(await page.evaluate(() => document.activeElement.id), 'password');
      assert.equal(await page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle),
          'solid');
      // The focus ring is not the error outline's colour.
      const [ring, error] = await page.evaluate(() => {
        const probe = document.createElement('span');
        probe.style.color = 'var(--error)';
        document.body.append(probe);
        const colours = [getComputedStyle(document.activeElement).outlineColor,
          getComputedStyle(probe).color];
        probe.remove();
        return colours;
      });
      assert.notEqual(ring, error);
      await page.keyboard.type(USER_PASSWORD);
      await page.keyboard.press('Enter');
      await page.getByRole('heading', {name: 'Calendars'}).waitFor();
      assert.equal(await page.locator('#webdav-panel').isVisible(), false);
      assert.equal(await page.locator('#caldav-panel').isVisible(), false);
      // Her home, and the public share every account may write into.
      const shares = await page.locator('#create-share option').allTextContents();
      assert.deepEqual(shares, ['Your home folder', 'public']);

      // A sub-folder of her home leading into another share: refused, and said in a sentence.
      fs.symlinkSync(path.join(root, 'volume1/public'), path.join(root, 'volume1/homes/alice/out'));
      await page.locator('#create-form').getByLabel('Sub-folder (optional)').fill('out');
      await page.getByLabel('Calendar name').fill('Elsewhere');
      await page.getByRole('button', {name: 'Create calendar'}).click();
      await page.getByText('Your account may not create a calendar there').waitFor();
      assert.equal(fs.existsSync(path.join(root, 'volume1/public/Elsewhere')), false);
      await shot(page, '6-user-create-refused');

      await page.locator('#create-form').getByLabel('Sub-folder (optional)').fill('');
      await page.getByLabel('Calendar name').fill('Mine');
      await page.getByRole('button', {name: 'Create calendar'}).click();
      const mine = calendarRow(page, 'Mine');
      await mine.waitFor();
      assert.equal(await mine.getAttribute('data-status'), 'normal');
      assert.equal(await mine.locator('td').nth(0).textContent(), 'homes/alice');
      assert.equal(await page.getByRole('button', {name: /^Delete/}).count(), 0);
      assert.equal(await page.getByRole('button', {name: /^Rename/}).count(), 0);
      await assertAccessible(page);
      await shot(page, '6-user-phone-dark');

      await page.context().clearCookies();
      await page.getByRole('button', {name: 'Reload list'}).click();
      await page.getByText('Your session has ended; log in again.').waitFor();
      assert.equal(await page.getByLabel('Password', {exact: true}).isVisible(), true);
      await shot(page, '6-session-ended');
    });

// A WebDAV or CalDAV request with Basic credentials on a connection of its own, as a client
// has: the daemon closes a kept connection when another account's request comes on it.
function dav(method, url, account, password, headers = {}) {
  return new Promise((resolve, reject) => {
    const request = http.request(url, {method, agent: false, headers: {...headers,
      Authorization: 'Basic ' + Buffer.from(`${account}:${password}`).toString('base64')}},
    (response) => {
      let body = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => body += chunk);
      response.on('end', () => resolve({status: response.statusCode, body}));
    });
    request.on('error', reject);
    request.end();
  });
}

test('the page says where WebDAV and CalDAV run, with addresses to copy', async (t) => {
  const page = await openPage(t, {permissions: ['clipboard-read', 'clipboard-write']});
  await logIn(page, 'admin', ADMIN_PASSWORD);
  const row = (label) => page.locator('#service-rows tr')
      .filter({has: page.getByRole('rowheader', {name: label, exact: true})});
  const http = row('WebDAV over HTTP');
  const caldav = row('CalDAV, your calendars');
  await http.getByText('Off', {exact: true}).waitFor();
  assert.match(await caldav.textContent(), /Switched off\./);

  const port = await freePort();
  await page.waitForFunction(() => document.getElementById('http-port').value !== '');
  await page.getByLabel('HTTP port').fill(String(port));
  await page.getByLabel('Enable WebDAV over HTTP', {exact: true}).check();
  await page.locator('#webdav-form').getByRole('button', {name: 'Save'}).click();
  await page.getByText('Saved. The form shows the settings now in force.').waitFor();
  await http.getByText('Running', {exact: true}).waitFor();
  const url = `http://127.0.0.1:${port}/`;
  assert.equal(await http.locator('code').textContent(), url);
  assert.equal(await http.locator('td').nth(1).textContent(), String(port));
  await http.getByRole('button', {name: 'Copy the WebDAV over HTTP address'}).click();
  await page.getByText(`Copied the WebDAV over HTTP address: ${url}`).waitFor();
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), url);
  assert.equal((await dav('PROPFIND', url, 'admin', ADMIN_PASSWORD, {Depth: '1'})).status, 207);

  // CalDAV on: the account's address at once, a calendar's once a client opened the account.
  await page.getByLabel('Enable CalDAV calendars').check();
  await page.locator('#caldav-form').getByRole('button', {name: 'Save'}).click();
  await page.getByText('Saved: CalDAV is on.').waitFor();
  await caldav.getByText('Running', {exact: true}).waitFor();
  const account = `${url}caldav/admin/`;
  assert.equal(await caldav.locator('code').textContent(), account);
  createByCall('Team');
  await page.getByRole('button', {name: 'Reload list'}).click();
  const team = calendarRow(page, 'Team');
  await team.getByText('In your CalDAV account once a client has opened it.').waitFor();
  assert.equal((await dav('PROPFIND', account, 'admin', ADMIN_PASSWORD, {Depth: '1'})).status,
      207);
  await page.getByRole('button', {name: 'Reload list'}).click();
  await team.locator('code').waitFor();
  const calendarUrl = await team.locator('code').textContent();
  assert.match(calendarUrl, new RegExp(`^${account}cal-[0-9a-f]+/$`));
  assert.equal((await dav('PROPFIND', calendarUrl, 'admin', ADMIN_PASSWORD, {Depth: '0'})).status,
      207);
  await team.getByRole('button', {name: 'Copy the address of Team'}).click();
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), calendarUrl);
  // alice's home calendar, once listed by her client, has an address for her alone.
  webapiSync(['call', '--user', 'alice', CALENDAR, '1', 'create', JSON.stringify({share: 'homes',
    destination: 'homes/alice', calendarname: 'Hers', fullpath: path.join(root,
        'volume1/homes/alice')})]);
  assert.equal((await dav('PROPFIND', `${url}caldav/alice/`, 'alice', USER_PASSWORD,
      {Depth: '1'})).status, 207);
  await page.getByRole('button', {name: 'Reload list'}).click();
  await calendarRow(page, 'Hers')
      .getByText('Not in your CalDAV account: your account may not open its folder.').waitFor();
  assert.equal(await calendarRow(page, 'Hers').locator('code').count(), 0);
  // The folders a browser or file manager opens over WebDAV.
  assert.deepEqual(await page.locator('#folder-list a').allTextContents(),
      [`${url}homes/admin/`, `${url}homes/`, `${url}public/`]);
  await page.getByText('Connect a client').click();
  await page.getByText('add a CalDAV account with the CalDAV address above').waitFor();
  await assertAccessible(page);
  await shot(page, '7-services-running');

  // WebDAV off: CalDAV, served through it, says why it does not run.
  await page.getByLabel('Enable WebDAV over HTTP', {exact: true}).uncheck();
  await page.locator('#webdav-form').getByRole('button', {name: 'Save'}).click();
  await page.getByText('Saved. The form shows the settings now in force.').waitFor();
  await http.getByText('Off', {exact: true}).waitFor();
  await caldav.getByText('On, but WebDAV does not run').waitFor();
  await team.getByText('Shown while CalDAV runs.').waitFor();
  await shot(page, '7-services-stopped');
});

function bookRow(page, name) {
  return page.locator('#book-rows tr').filter({has: page.getByRole('rowheader', {name})});
}

test('an administrator switches CardDAV and creates, renames, moves and deletes an address ' +
    'book; a user sees hers with its address, without the administrators’ controls',
async (t) => {
  const port = await freePort();
  webapiSync(['call', 'KIVO.Core.FileServ.WebDAV', '1', 'set', JSON.stringify({enable_http: true,
    enable_https: false, http_port_num: port})]);
  const url = `http://127.0.0.1:${port}/`;
  const page = await openPage(t);
  await logIn(page, 'admin', ADMIN_PASSWORD);
  const service = page.locator('#service-rows tr').filter({has: page.getByRole('rowheader',
      {name: 'CardDAV, your address books', exact: true})});
  await service.getByText('Switched off.').waitFor();
  const saveSwitch = async (on, said) => {
    await page.getByLabel('Enable CardDAV address books').setChecked(on);
    await page.locator('#carddav-form').getByRole('button', {name: 'Save'}).click();
    await page.getByText(said).waitFor();
  };
  await saveSwitch(true, 'Saved: CardDAV is on.');
  assert.equal(storedConf('runCardDav'), 'yes');
  await service.getByText('Running', {exact: true}).waitFor();
  assert.equal(await service.locator('code').textContent(), `${url}carddav/admin/`);

  await createRenameMoveDelete(page, KINDS.book, 'Clients');

  // A user's own address book, with its address once her client has listed her account; of
  // the administrators' controls, none.
  webapiSync(['call', '--user', 'alice', ADDRESS_BOOK, '1', 'create', JSON.stringify({
    share: 'homes', destination: 'homes/alice', addressbookname: 'Contacts',
    fullpath: path.join(root, 'volume1/homes/alice')})]);
  assert.equal((await dav('PROPFIND', `${url}carddav/alice/`, 'alice', USER_PASSWORD,
      {Depth: '1'})).status, 207);
  const user = await openPage(t, {viewport: PHONE, isMobile: true});
  await logIn(user, 'alice', USER_PASSWORD);
  const contacts = bookRow(user, 'Contacts');
  await contacts.locator('code').waitFor();
  const address = await contacts.locator('code').textContent();
  assert.match(address, new RegExp(`^${url}carddav/alice/card-[0-9a-f]+/$`));
  assert.equal((await dav('PROPFIND', address, 'alice', USER_PASSWORD, {Depth: '0'})).status,
      207);
  assert.equal(await user.locator('#carddav-panel').isVisible(), false);
  assert.equal(await user.locator('#books-panel').getByRole('button',
      {name: /^(Rename|Move|Delete) /}).count(), 0);
  await assertAccessible(user);
  await shot(user, '7-user-address-book-phone');
  // The administrator may not open her home: no address, and why.
  await page.getByRole('button', {name: 'Reload address books'}).click();
  await bookRow(page, 'Contacts')
      .getByText('Not in your CardDAV account: your account may not open its folder.').waitFor();

  await saveSwitch(false, 'Saved: CardDAV is off.');
  assert.equal(storedConf('runCardDav'), 'no');
  await service.getByText('Switched off.').waitFor();
  await bookRow(page, 'Contacts').getByText('Shown while CardDAV runs.').waitFor();
  // Leaves the list empty for the next tests.
  await page.request.post(`${baseUrl}webapi/entry`, {data: {api: ADDRESS_BOOK, version: 1,
    method: 'delete', params: {id: ['Contacts:homes/alice']}}});
});

test('passwords change on the page: one’s own, and an administrator’s for another',
    async (t) => {
      webapiSync(['useradd', 'carol']);
      webapiSync(['passwd', 'carol'], USER_PASSWORD + '\n');
      const elsewhere = await openPage(t, {expectRefusals: true});
      await logIn(elsewhere, 'carol', USER_PASSWORD);
      await elsewhere.getByRole('heading', {name: 'Calendars'}).waitFor();
      const page = await openPage(t, {expectRefusals: true});
      await logIn(page, 'carol', USER_PASSWORD);
      const form = page.locator('#password-form');
      await form.getByText(/^A new password has 8 to 256 characters/).waitFor();
      const fill = async (current, password, again) => {
        await form.getByLabel('Current password').fill(current);
        await form.getByLabel('New password', {exact: true}).fill(password);
        await form.getByLabel('New password again').fill(again);
        await form.getByRole('button', {name: 'Change password'}).click();
      };
      // Said before anything is sent, then what the server refused, in words.
      await fill(USER_PASSWORD, 'short', 'short');
      await form.getByText('The new password needs at least 8 characters.').waitFor();
      await fill(USER_PASSWORD, 'carol-new-secret', 'carol-new-secreT');
      await form.getByText('The two new passwords differ. Type the same one twice.').waitFor();
      await fill('not-the-password', 'carol-new-secret', 'carol-new-secret');
      await form.getByText('The current password is not right, so nothing was changed.')
          .waitFor();
      assert.equal(await page.evaluate(() => document.activeElement.id), 'current-password');
      await fill(USER_PASSWORD, 'carol-new-secret', 'carol-new-secret');
      await form.getByText(/^Password changed\. 1 other session of yours ended\./).waitFor();
      assert.equal(await form.getByLabel('Current password').inputValue(), '');
      await assertAccessible(page);
      await shot(page, '8-password-changed');

      // The other browser's session has ended; the new password logs in.
      await elsewhere.getByRole('button', {name: 'Reload list'}).click();
      await elsewhere.getByText('Your session has ended; log in again.').waitFor();
      await logIn(elsewhere, 'carol', 'carol-new-secret');
      await elsewhere.getByRole('heading', {name: 'Your password'}).waitFor();
    });

test('an administrator sees the accounts, makes homes private and sets a password; the tables ' +
    'fit at 360 px in dark mode, heads over their columns, words whole', async (t) => {
      createByCall('Projektkalenderplanung');
      webapiSync(['useradd', 'dave']);
      webapiSync(['useradd', 'erin']);
      fs.chmodSync(path.join(root, 'volume1/homes/erin'), 0o755);
      webapiSync(['useradd', 'frank']);
      fs.rmdirSync(path.join(root, 'volume1/homes/frank'));
      const page = await openPage(t);
      await logIn(page, 'admin', ADMIN_PASSWORD);
      const row = (name) => page.locator('#account-rows tr')
          .filter({has: page.getByRole('rowheader', {name, exact: true})});
      const role = (name) => row(name).locator('td').nth(0).textContent();
      const home = (name) => row(name).locator('td').nth(1).textContent();
      await row('frank').waitFor();
      assert.equal(await role('admin'), 'Administrator');
      assert.equal(await role('dave'), 'User, no password yet');
      assert.equal(await home('dave'), 'Private');
      assert.equal(await home('erin'), 'Readable by others');
      assert.equal(await home('frank'), 'Missing');
      assert.equal(await row('guest').count(), 0);
      await page.getByText('Accounts the services refuse (2)').click();
      assert.deepEqual(await page.locator('#refused-list li').allTextContents(),
          ['root: a system account (uid below 1000)',
            'guest: anonymous WebDAV requests only, never a login']);

      await row('erin').getByRole('button', {name: 'Make private: erin'}).click();
      await page.getByText('The home folder of erin is there now, private to erin').waitFor();
      assert.equal(fs.statSync(path.join(root, 'volume1/homes/erin')).mode & 0o777, 0o700);
      await row('frank').getByRole('button', {name: 'Make home: frank'}).click();
      await page.getByText('The home folder of frank is there now').waitFor();
      await row('frank').locator('td').nth(1).getByText('Private', {exact: true}).waitFor();
      const made = fs.statSync(path.join(root, 'volume1/homes/frank'));
      assert.equal(made.mode & 0o777, 0o700);
      assert.notEqual(made.uid, 0);

      await row('dave').getByRole('button', {name: 'Set password: dave'}).click();
      const dialog = page.locator('#setpw-dialog');
      await dialog.getByLabel('New password', {exact: true}).fill('dave-first-secret');
      await dialog.getByLabel('New password again').fill('dave-first-secret');
      await dialog.getByLabel('Your own password').fill(ADMIN_PASSWORD);
      await assertAccessible(page);
      await shot(page, '9-set-password');
      await dialog.getByRole('button', {name: 'Set password'}).click();
      await page.getByText('The password of dave is set; their other sessions ended.').waitFor();
      assert.equal(await role('dave'), 'User');
      const login = await page.request.post(`${baseUrl}webapi/auth`,
          {data: {account: 'dave', password: 'dave-first-secret'}});
      assert.equal(login.status(), 200);

      await calendarRow(page, 'Projektkalenderplanung').waitFor();
      assert.deepEqual(await page.evaluate(headOffsets), []);
      await page.setViewportSize(PHONE);
      await page.emulateMedia({colorScheme: 'dark'});
      assert.deepEqual(await page.evaluate(splitWords), []);
      await assertAccessible(page);
      await shot(page, '10-admin-phone-dark');
    });

// Every word of the tables' names and labels on one line.
function splitWords() {
  const split = [];
  for (const el of document.querySelectorAll('table th, table td')) {
    if (el.closest('[hidden]') || el.querySelector('code')) continue;
    const walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      for (const match of node.textContent.matchAll(/\S+/g)) {
        const range = document.createRange();
        range.setStart(node, match.index);
        range.setEnd(node, match.index + match[0].length);
        if (range.getClientRects().length > 1) split.push(match[0]);
      }
    }
  }
  return split;
}

// Each head's text starts where its column's first cell's content does; a table's heads end
// on one line.
function headOffsets() {
  const out = [];
  for (const table of document.querySelectorAll('table')) {
    const heads = [...table.tHead.rows[0].cells].filter((c) => !c.hidden);
    const first = table.tBodies[0].rows[0];
    if (!first) continue;
    const bottoms = new Set();
    heads.forEach((head, i) => {
      const range = document.createRange();
      range.selectNodeContents(head.querySelector('button') || head);
      const text = range.getBoundingClientRect();
      const cell = first.cells[i];
      const start = cell.getBoundingClientRect().left +
          parseFloat(getComputedStyle(cell).paddingLeft);
      if (Math.abs(text.left - start) > 1) out.push(`${table.id} ${head.textContent.trim()}`);
      bottoms.add(Math.round(text.bottom));
    });
    if (bottoms.size > 1) out.push(`${table.id}: heads on ${bottoms.size} lines`);
  }
  return out;
}

test('an administrator makes an account, locks and unlocks it, and removes it, told which ' +
    'calendars and address books stay behind', async (t) => {
  const page = await openPage(t, {expectRefusals: true});
  await logIn(page, 'admin', ADMIN_PASSWORD);
  const row = (name) => page.locator('#account-rows tr')
      .filter({has: page.getByRole('rowheader', {name, exact: true})});
  const form = page.locator('#newacct-form');
  const create = async (name) => {
    await form.getByLabel('Name').fill(name);
    await form.getByLabel('Password for the account', {exact: true}).fill('gina-secret');
    await form.getByLabel('Password for the account again').fill('gina-secret');
    await form.getByLabel('Your own password').fill(ADMIN_PASSWORD);
    await form.getByRole('button', {name: 'Create account'}).click();
  };
  // Outside the page's context: its cookie stays the administrator's.
  const logsIn = async (password) => (await fetch(`${baseUrl}webapi/auth`, {method: 'POST',
    headers: {'Content-Type': 'application/json'},
    body: JSON.stringify({account: 'gina', password})})).status;
  await row('admin').waitFor();
  await assertAccessible(page);

  await create('homes');
  await form.getByText('That name cannot be an account').waitFor();
  await create('gina');
  await page.getByText('The account gina is ready, with a private home folder.').waitFor();
  await row('gina').locator('td').nth(1).getByText('Private', {exact: true}).waitFor();
  assert.equal(fs.statSync(path.join(root, 'volume1/homes/gina')).mode & 0o777, 0o700);
  assert.equal(await logsIn('gina-secret'), 200);
  await create('gina');
  await form.getByText('An account of that name exists already.').waitFor();
  assert.equal(await row('admin').getByRole('button', {name: 'Lock: admin'}).count(), 0,
      'no lock of one’s own account');

  await row('gina').getByRole('button', {name: 'Lock: gina'}).click();
  await page.getByText('gina is locked: refused at every login').waitFor();
  // The message comes first, the list reloaded after it.
  await row('gina').locator('td').nth(0).getByText('User, locked', {exact: true}).waitFor();
  assert.equal(await logsIn('gina-secret'), 401);
  await row('gina').getByRole('button', {name: 'Unlock: gina'}).click();
  await page.getByText('gina is unlocked and logs in again.').waitFor();
  assert.equal(await logsIn('gina-secret'), 200);

  const params = {share: 'home', destination: 'home', calendarname: 'Ginas Plan',
    fullpath: path.join(root, 'volume1/homes/gina')};
  webapiSync(['call', '--user', 'gina', CALENDAR, '1', 'create', JSON.stringify(params)]);
  const book = {share: 'home', destination: 'home', addressbookname: 'Ginas Cards',
    fullpath: params.fullpath};
  webapiSync(['call', '--user', 'gina', ADDRESS_BOOK, '1', 'create', JSON.stringify(book)]);
  await page.reload();
  await row('gina').getByRole('button', {name: 'Remove: gina'}).click();
  const dialog = page.locator('#rmacct-dialog');
  await dialog.getByText('These calendars and address books in their home folder stay ' +
      'behind (2):').waitFor();
  const left = await dialog.locator('li').allTextContents();
  assert.equal(left.length, 2);
  assert.match(left[0], /^Ginas Plan \(.+\)$/);
  assert.match(left[1], /^Ginas Cards \(.+\), address book$/);
  assert.equal(await page.evaluate(() => document.activeElement.id), 'rmacct-cancel');
  await dialog.getByLabel('Also remove the home folder').check();
  await assertAccessible(page);
  await shot(page, '11-remove-account');
  await dialog.getByRole('button', {name: 'Remove'}).click();
  await page.getByText('The account gina is removed, its home folder removed. Calendars ' +
      `left behind: ${left[0]}. Address books left behind: Ginas Cards.`).waitFor();
  assert.equal(await row('gina').count(), 0);
  assert.ok(!fs.existsSync(path.join(root, 'volume1/homes/gina')));
  assert.equal(await logsIn('gina-secret'), 401);
});

test('the certificate panel shows what is served, refuses a wrong key in words, installs a pair',
    async (t) => {
      const made = fs.mkdtempSync(path.join(os.tmpdir(), 'kivo-cert-'));
      t.after(() => fs.rmSync(made, {recursive: true, force: true}));
      const openssl = (args) => {
        const run = spawnSync('openssl', args, {cwd: made});
        assert.equal(run.status, 0, run.stderr.toString());
        return run.stdout.toString();
      };
      const fingerprint = (file) =>
        openssl(['x509', '-in', file, '-noout', '-fingerprint', '-sha256']).trim().split('=')[1];
      const newPair = ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
        '-nodes', '-days', '10', '-subj', '/CN=page.test', '-addext', 'subjectAltName=DNS:page.test'];
      openssl([...newPair, '-keyout', 'own.key', '-out', 'own.crt']);
      openssl([...newPair, '-keyout', 'other.key', '-out', 'other.crt']);

      const page = await openPage(t, {expectRefusals: true});
      await logIn(page, 'admin', ADMIN_PASSWORD);
      await page.getByRole('heading', {name: 'Certificate'}).waitFor();
      const served = path.join(root, 'etc/kivo/tls/server.crt');
      await page.locator('#cert-sha256', {hasText: fingerprint(served)}).waitFor();
      assert.equal(await page.locator('#cert-issuer').textContent(), 'Self-signed');

      const install = async (key) => {
        await page.getByLabel('Certificate with its chain').setInputFiles(path.join(made, 'own.crt'));
        await page.getByLabel('Private key').setInputFiles(path.join(made, key));
        await page.getByRole('button', {name: 'Install certificate'}).click();
      };
      await install('other.key');
      await page.getByText('The private key does not belong to the certificate').waitFor();
      assert.equal(await page.locator('#cert-issuer').textContent(), 'Self-signed');

      await install('own.key');
      await page.getByText('Installed: clients get it').waitFor();
      assert.equal(fingerprint(served), fingerprint(path.join(made, 'own.crt')));
      assert.equal(await page.locator('#cert-sha256').textContent(), fingerprint(served));
      assert.equal(await page.locator('#cert-subject').textContent(), 'CN=page.test');
      assert.equal(await page.locator('#cert-names').textContent(), 'page.test');
      await page.getByText(/This certificate expires in 1?\d days/).waitFor();
      await assertAccessible(page);
      await shot(page, '9-certificate-installed');

      await page.getByRole('button', {name: 'Make a new self-signed one'}).click();
      await page.getByText('A new self-signed certificate is served').waitFor();
      assert.equal(await page.locator('#cert-issuer').textContent(), 'Self-signed');
      assert.equal(await page.locator('#cert-sha256').textContent(), fingerprint(served));
    });

test('the page at 360 px and 1280 px: a link to each panel, addresses whole between ' +
    'separators, actions in a row, a complete WebDAV set, warnings where clients are cut off',
async (t) => {
  const WEBDAV = 'KIVO.Core.FileServ.WebDAV';
  const port = await freePort();
  webapiSync(['call', WEBDAV, '1', 'set', JSON.stringify({enable_http: true,
    enable_https: false, http_port_num: port, anonymouslogin_enable: true,
    depth_infinity_enable: false})]);
  webapiSync(['call', 'KIVO.Core.FileServ.WebDAV.CalDAV', '1', 'set', '{"enable":true}']);
  webapiSync(['call', 'KIVO.Core.FileServ.WebDAV.CardDAV', '1', 'set', '{"enable":true}']);
  createByCall('Quartalsprojektkalender');
  createByCall('Lieferantenadressbuch', ADDRESS_BOOK, 'addressbookname');
  // The administrator's clients name every calendar and address book the account may open.
  for (const service of ['caldav', 'carddav']) {
    const account = `http://127.0.0.1:${port}/${service}/admin/`;
    assert.equal((await dav('PROPFIND', account, 'admin', ADMIN_PASSWORD, {Depth: '1'})).status,
        207);
  }
  const page = await openPage(t, {permissions: ['clipboard-read', 'clipboard-write']});
  await page.clock.install();
  await logIn(page, 'admin', ADMIN_PASSWORD);
  const calendar = calendarRow(page, 'Quartalsprojektkalender');
  await calendar.locator('code').waitFor();
  await bookRow(page, 'Lieferantenadressbuch').locator('code').waitFor();
  await page.locator('#account-rows tr').first().waitFor();
  await page.waitForFunction(() => document.getElementById('http-port').value !== '');

  // Every panel shown has its link; a link brings its panel's heading into view, focused.
  const nav = page.getByRole('navigation', {name: 'Panels'});
  const headings = () => page.locator('#app-view section.panel:not([hidden]) h2')
      .allTextContents();
  assert.deepEqual(await nav.getByRole('link').allTextContents(), await headings());
  const reached = async (name) => {
    await nav.getByRole('link', {name}).focus();
    await page.keyboard.press('Enter');
    return page.evaluate(() => {
      const heading = document.activeElement;
      const top = heading.getBoundingClientRect().top;
      const nav = document.getElementById('panel-nav').getBoundingClientRect();
      const clear = nav.right <= heading.getBoundingClientRect().left || top >= nav.bottom;
      return {focused: heading.textContent, seen: clear && top < window.innerHeight};
    });
  };

  // 1280 px: the actions of a row on one line; the WebDAV form sends all four switches.
  assert.deepEqual(await reached('Your password'), {focused: 'Your password', seen: true});
  assert.deepEqual(await page.evaluate(actionRows), []);
  assert.deepEqual(await page.evaluate(describedByWarning),
      {'caldav-enable': true, 'carddav-enable': true, 'enable-http': true, 'enable-https': true});
  await page.getByLabel(/^Allow depth infinity/).check();
  const sent = page.waitForRequest((r) => r.url().endsWith('/webapi/entry') &&
      r.postDataJSON().method === 'set');
  await page.locator('#webdav-form').getByRole('button', {name: 'Save'}).click();
  assert.deepEqual((await sent).postDataJSON().params, {enable_http: true, enable_https: false,
    anonymouslogin_enable: true, depth_infinity_enable: true});
  await page.getByText('Saved. The form shows the settings now in force.').waitFor();
  assert.deepEqual([storedConf('webdavanonymouslogin'), storedConf('webdavdepthinfinity')],
      ['yes', 'yes']);
  await assertAccessible(page);
  await shot(page, '11-layout-1280');

  // A copy says so on its button for a moment, and to screen readers in words.
  const copy = calendar.getByRole('button', {name: 'Copy the address of Quartalsprojektkalender'});
  await copy.click();
  await calendar.getByRole('button', {name: 'Copied the address of Quartalsprojektkalender'})
      .waitFor();
  assert.equal(await page.locator('#list-message').getAttribute('aria-live'), 'polite');
  assert.match(await page.locator('#list-message').textContent(), /^Copied the address of /);
  await page.clock.runFor(2500);
  assert.equal(await copy.textContent({timeout: 10000}), 'Copy');
  assert.deepEqual(await page.evaluate(uncopyableAddresses), []);

  // 360 px: short enough to reach the end, no sideways scroll, addresses broken at separators.
  await page.setViewportSize(PHONE);
  await shot(page, '11-layout-360');
  assert.deepEqual(await reached('Your password'), {focused: 'Your password', seen: true});
  assert.deepEqual(await reached('Where to connect'),
      {focused: 'Where to connect', seen: true});
  const size = await page.evaluate(() => [document.documentElement.scrollWidth,
    document.documentElement.scrollHeight]);
  assert.ok(size[0] <= PHONE.width, `the page is ${size[0]} px wide`);
  assert.ok(size[1] <= PAGE_HEIGHT_AT_360, `the page is ${size[1]} px tall`);
  const breaks = await page.evaluate(addressBreaks);
  assert.deepEqual(breaks.bad, []);
  assert.ok(breaks.good > 0, 'no address needed a second line: the check saw nothing');
  await assertAccessible(page);
});

// A phone's page of this suite's accounts and calendars, with the links to the panels, the
// new-account form, the certificate and the shares, the CardDAV switch and an address book, the
// cards' short cells sharing lines: 9,447 px measured.
const PAGE_HEIGHT_AT_360 = 9750;

// Each address's line breaks, after a separator (good) or elsewhere (bad, with the text).
function addressBreaks() {
  const out = {good: 0, bad: []};
  for (const el of document.querySelectorAll('.address code, .address a')) {
    if (!el.getClientRects().length) continue;
    let last = null;
    const walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      for (let i = 0; i < node.length; ++i) {
        const range = document.createRange();
        range.setStart(node, i);
        range.setEnd(node, i + 1);
        const rect = range.getClientRects()[0];
        if (!rect) continue;
        if (last && rect.top > last.top + 1) {
          if ('/.:'.includes(last.char)) ++out.good;
          else out.bad.push(`${el.textContent} after “${last.char}”`);
        }
        last = {top: rect.top, char: node.data[i]};
      }
    }
  }
  return out;
}

// Rows whose actions take more than one line.
function actionRows() {
  return [...document.querySelectorAll('.row-actions')]
      .filter((row) => new Set([...row.children]
          .map((b) => Math.round(b.getBoundingClientRect().top))).size > 1)
      .map((row) => row.closest('tr').querySelector('th').textContent);
}

// The switches and fields of the settings forms that a warning describes.
function describedByWarning() {
  const out = {};
  for (const input of document.querySelectorAll(
      '#webdav-form input, #caldav-form input, #carddav-form input')) {
    const ids = (input.getAttribute('aria-describedby') || '').split(/\s+/).filter(Boolean);
    if (ids.some((id) => document.getElementById(id)?.classList.contains('warning'))) {
      out[input.id] = true;
    }
  }
  return out;
}

// Addresses shown without a copy button beside them.
function uncopyableAddresses() {
  return [...document.querySelectorAll('#app-view code, #app-view a[href^="http"]')]
      .filter((el) => /^https?:\/\/\S/.test(el.textContent) && el.getClientRects().length &&
          !el.parentElement.querySelector('button.copy'))
      .map((el) => el.textContent);
}

test('an administrator says who reads and who writes a share; homes stay private; the panel ' +
    'fits at 360 px', async (t) => {
  fs.appendFileSync(path.join(root, 'etc/group'), 'team:x:2000:alice,bob\n');
  fs.mkdirSync(path.join(root, 'volume1/projects'), {mode: 0o755});
  const sharesFile = path.join(root, 'etc/kivo/shares.json');
  const shares = JSON.parse(fs.readFileSync(sharesFile, 'utf8'));
  fs.writeFileSync(sharesFile,
      JSON.stringify({...shares, projects: path.join(root, 'volume1/projects')}));
  const page = await openPage(t);
  await logIn(page, 'admin', ADMIN_PASSWORD);
  const row = (name) => page.locator('#share-rows tr')
      .filter({has: page.getByRole('rowheader', {name, exact: true})});
  await row('projects').waitFor();
  assert.deepEqual(await row('homes').locator('td').allTextContents(),
      ['Each account its own home', 'Each account its own home', '']);
  assert.equal(await row('homes').getByRole('button').count(), 0);

  await row('projects').getByRole('button', {name: 'Edit who may use projects'}).click();
  const dialog = page.locator('#share-dialog');
  const reads = dialog.getByRole('group', {name: 'Who reads'});
  const writes = dialog.getByRole('group', {name: 'Who writes (and reads)'});
  await writes.getByLabel('group team', {exact: true}).check();
  await reads.getByLabel('bob', {exact: true}).check();
  assert.equal(await reads.getByLabel('guest', {exact: true}).count(), 0);
  await assertAccessible(page);
  await dialog.getByRole('button', {name: 'Save'}).click();
  await page.getByText('Saved who may use projects.').waitFor();
  assert.deepEqual(JSON.parse(fs.readFileSync(path.join(root, 'etc/kivo/share-access.json'))),
      {version: 1, shares: {projects: {read: ['bob'], write: ['@team']}}});
  assert.deepEqual((await row('projects').locator('td').allTextContents()).slice(0, 2),
      ['bob, group team', 'group team']);

  await page.setViewportSize(PHONE);
  const width = await page.evaluate(() => document.documentElement.scrollWidth);
  assert.ok(width <= PHONE.width, `the page is ${width} px wide`);
  await row('projects').getByRole('button', {name: 'Edit who may use projects'}).click();
  assert.ok(await writes.getByLabel('group team', {exact: true}).isChecked());
  await assertAccessible(page);
  await shot(page, '11-share-access-phone');
  await dialog.getByRole('button', {name: 'Cancel'}).click();
});
