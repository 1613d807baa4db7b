// The device program's page in a real headless Chromium: a person's clicks and keys on the phone reach
// the device (checked in its preferences file and, through scutil, its dynamic store, never through the
// page), a dialog brought up from outside appears on the page, the tablet turns, and requests without
// the token or from another web page are refused.
//
// usage: node page.test.mjs BUILD_DIR OUTPUT_DIR   (exit 77: skipped, with the reason)
import { DeviceProgram, eventually, launchChromium, missingPrerequisite, wifiService } from './DevicePage.mjs';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { request } from 'node:http';
import { join, resolve } from 'node:path';
import { after, before, test } from 'node:test';

const missing = missingPrerequisite();
if (missing) {
    console.log(`SKIPPED: ${missing}`);
    process.exit(77);
}
const [buildDir, outputDir] = process.argv.slice(2).map((path) => resolve(path));
if (!buildDir || !outputDir) {
    console.error('usage: node page.test.mjs BUILD_DIR OUTPUT_DIR');
    process.exit(2);
}
mkdirSync(outputDir, { recursive: true });

let device;
let browser;
let page;
let link;

// A request as another program or web page would send it: status and body.
function rawRequest(url, { method = 'GET', headers = {}, body } = {}) {
    return new Promise((done, failed) => {
        const sent = request(url, { method, headers }, (response) => {
            let text = '';
            response.setEncoding('utf8');
            response.on('data', (chunk) => { text += chunk; });
            response.on('end', () => done({ status: response.statusCode, body: text }));
        });
        sent.on('error', failed);
        sent.setTimeout(10000, () => sent.destroy(new Error('no answer within 10 s')));
        sent.end(body);
    });
}

// A test whose failure shows the device program's last lines: the steps, posts and changes it saw.
function deviceTest(name, body) {
    test(name, async () => {
        try {
            await body();
        } catch (error) {
            error.message += `\n--- the device program's last lines:\n${device.output.split('\n').slice(-60).join('\n')}`;
            throw error;
        }
    });
}

const screenText = (text) => page.locator('#screen svg text', { hasText: new RegExp(`^${text}$`) });
const alert = () => page.locator('#screen svg g.alert');
const shown = () => page.evaluate(() => window.tarvikdnsPage.shown);

// As a person does: once the dialog's keyboard has come up (a second after the dialog), the password
// typed into its field, then OK.
async function answerDialog(password) {
    await alert().waitFor();
    await eventually(async () => (await shown()).typingInto === 'the dialog\'s field', 'the dialog\'s field takes the keyboard');
    await alert().locator('g.text-field').click();
    await page.keyboard.type(password);
    await alert().locator('g.alert-button', { hasText: 'OK' }).click();
    await alert().waitFor({ state: 'detached' });
}

before(async () => {
    // Standard input stays open: the console takes steps there while the page is used.
    device = new DeviceProgram(buildDir);
    link = await device.link();
    browser = await launchChromium();
    page = await browser.newPage({ viewport: { width: 1400, height: 1100 } });
    await page.goto(link);
    await screenText('Wifi').waitFor();
});

after(async () => {
    await browser?.close();
    device?.process.stdin.end();
    const ended = await device?.stop();
    assert.deepEqual(ended, { code: 0, signal: null, jobs: [] }, 'the device program ends by itself and leaves no job running');
});

deviceTest('a click on "Wifi", a server typed into Primary DNS and Return reach the preferences and the store', async () => {
    await screenText('Wifi').click();
    await eventually(() => device.preference('SelectedConnectivity') === 'Wifi', 'SelectedConnectivity Wifi in the preferences');
    await page.locator('#screen svg g.segment.selected', { hasText: 'Wifi' }).waitFor();
    await page.locator('#screen svg').screenshot({ path: join(outputDir, 'phone.png') });
    await page.locator('#screen svg g.text-field').nth(1).click();
    await eventually(async () => (await shown()).typingInto === 'primary', 'the primary field takes the keyboard');
    await page.keyboard.type('9.9.9.9');
    await page.keyboard.press('Enter');
    await eventually(() => device.preference('PrimaryDNS') === '9.9.9.9', 'PrimaryDNS 9.9.9.9 in the preferences');
    await eventually(() => device.run('scutil', ['--get', `State:/Network/Service/${wifiService}/DNS`]).output.includes('<string>9.9.9.9</string>'),
        'the Wi-Fi service\'s DNS servers in the store');
    // What was typed is text of the page, and the keyboard went down with Return.
    await screenText('9.9.9.9').waitFor();
    assert.equal((await shown()).typingInto, null);
    await page.locator('#feed > li', { hasText: '(from the page) tap Wifi' }).waitFor();
    await page.locator('#feed > li', { hasText: '(from the page) return primary' }).waitFor();
    await page.locator('#status', { hasText: '9.9.9.9' }).waitFor();
});

deviceTest('the Passlock switched on and answered, a tap then asks for it', async () => {
    await page.locator('#screen svg g.switch').first().click();
    await answerDialog('1234');
    await eventually(() => device.preference('Passlock') === '1234', 'the Passlock in the preferences');
    await screenText('Both').click();
    await alert().locator('text', { hasText: 'TarvikDNS Passlock' }).waitFor();
    assert.equal(device.preference('SelectedConnectivity'), 'Wifi', 'nothing changes before the password');
    await answerDialog('1234');
    await eventually(() => device.preference('SelectedConnectivity') === 'Both', 'SelectedConnectivity Both after the password');
});

deviceTest('a stop posted from another terminal brings its dialog onto the page', async () => {
    const posted = device.run('notifyutil', ['-p', 'com.tarvik.dns/SBStop']);
    assert.equal(posted.status, 0, posted.errors);
    await alert().locator('text', { hasText: 'TarvikDNS Passlock' }).waitFor({ timeout: 10000 });
    await page.locator('#feed > li', { hasText: 'posted: com.tarvik.dns/SBStop' }).waitFor();
    await answerDialog('1234');
    await eventually(() => device.preference('SelectedConnectivity') === 'None', 'the outside stop selects None');
});

deviceTest('requests without the token, from another web page or of the wrong kind are refused and change nothing', async () => {
    const base = new URL(link).origin;
    const token = new URL(link).searchParams.get('token');
    const before = device.preference('SelectedConnectivity');
    const cases = [
        { what: 'the page without the token', url: `${base}/`, status: 403 },
        { what: 'the events without the token', url: `${base}/events`, status: 403 },
        { what: 'a touch without the token', url: `${base}/touch`, method: 'POST', body: 'x=197&y=52', status: 403 },
        { what: 'a touch with a wrong token', url: `${base}/touch`, method: 'POST', body: 'x=197&y=52', token: 'f'.repeat(32), status: 403 },
        { what: 'a touch from another web page', url: `${base}/touch`, method: 'POST', body: 'x=197&y=52', token,
          headers: { Origin: 'http://attacker.example' }, status: 403 },
        { what: 'a touch under another name of the server', url: `${base}/touch`, method: 'POST', body: 'x=197&y=52', token,
          headers: { Host: `attacker.example:${new URL(link).port}` }, status: 403 },
        { what: 'a touch outside any screen', url: `${base}/touch`, method: 'POST', body: 'x=197&y=99999', token, status: 400 },
        { what: 'an unknown key', url: `${base}/key`, method: 'POST', body: 'key=Escape', token, status: 400 },
        { what: 'a touch by GET', url: `${base}/touch?x=197&y=52`, token, status: 405 },
        { what: 'an unknown page', url: `${base}/admin`, token, status: 404 },
    ];
    for (const asked of cases) {
        const headers = { 'Content-Type': 'application/x-www-form-urlencoded', ...(asked.token ? { 'X-TarvikDNS-Token': asked.token } : {}),
                          ...asked.headers };
        const answer = await rawRequest(asked.url, { method: asked.method, headers, body: asked.body });
        assert.equal(answer.status, asked.status, `${asked.what}: ${answer.body}`);
        assert.match(answer.body, /"error":"[^"]+"/, `${asked.what} says why`);
    }
    // The Wifi segment would have been tapped by any of them.
    await new Promise((done) => setTimeout(done, 500));
    assert.equal(device.preference('SelectedConnectivity'), before);
});

deviceTest('a step typed at the console shows on the page, and its dialog is answered there', async () => {
    device.process.stdin.write('tap 3G\n');
    await page.locator('#feed > li.console', { hasText: '> tap 3G' }).waitFor();
    await alert().locator('text', { hasText: 'TarvikDNS Passlock' }).waitFor();
    await answerDialog('1234');
    await page.locator('#screen svg g.segment.selected', { hasText: '3G' }).waitFor();
    await eventually(() => device.preference('SelectedConnectivity') === '3G', 'SelectedConnectivity 3G');
    await device.waitForOutput('(from the page) answer OK');
});

deviceTest('a fresh tablet from the page turns to landscape', async () => {
    page.once('dialog', (dialog) => dialog.accept());
    await page.selectOption('select[name=model]', 'iPad');
    await page.selectOption('select[name=version]', '7.1');
    await page.getByRole('button', { name: 'Start over' }).click();
    await eventually(async () => (await shown())?.model === 'iPad', 'the page shows the fresh tablet', 60);
    assert.equal((await shown()).width, 768);
    assert.equal(device.preference('Passlock'), null, 'the fresh device has no Passlock');
    await page.getByRole('button', { name: 'Landscape', exact: true }).click();
    await eventually(async () => (await shown()).width === 1024, 'the tablet turned to landscape');
    await page.locator('#feed > li', { hasText: 'rotated: portrait -> landscape-right' }).waitFor();
    await screenText('Wifi').click();
    await page.locator('#screen svg g.segment.selected', { hasText: 'Wifi' }).waitFor();
    await page.locator('#screen svg').screenshot({ path: join(outputDir, 'tablet-landscape.png') });
});
