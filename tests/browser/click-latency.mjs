// How long a click on the page takes to show: from the click on a connectivity segment in Chromium to the
// screen redrawn with that segment selected, and on to the step's lines in the page's feed (the tap
// answered by netwardd and the device settled); beside the console's same tap in the same run, from
// the line written to the console until its lines are printed. Median and 90th percentile of each.
//
// usage: node click-latency.mjs BUILD_DIR [CLICKS]   (50 clicks unless given; needs chromium and npm ci)
import { DeviceProgram, launchChromium, missingPrerequisite } from './DevicePage.mjs';
import { resolve } from 'node:path';

const missing = missingPrerequisite();
if (missing) {
    console.error(`click-latency: ${missing}`);
    process.exit(1);
}
const buildDir = resolve(process.argv[2] || 'build');
const clicks = Number(process.argv[3] || 50);

const percentile = (samples, fraction) => {
    const sorted = [...samples].sort((a, b) => a - b);
    return sorted[Math.min(sorted.length - 1, Math.floor(fraction * sorted.length))];
};
const line = (what, samples) =>
    `${what.padEnd(52)} median ${percentile(samples, 0.5).toFixed(1).padStart(7)} ms   90% ${percentile(samples, 0.9).toFixed(1).padStart(7)} ms`;

const device = new DeviceProgram(buildDir);
const browser = await launchChromium();
try {
    const page = await browser.newPage({ viewport: { width: 1400, height: 1000 } });
    await page.goto(await device.link());
    await page.locator('#screen svg g.segment').first().waitFor();
    await page.evaluate(() => {
        const watch = window.clickLatency = { wanted: null, clickedAt: 0, redrawnAt: 0 };
        document.getElementById('screen').addEventListener('click', () => { watch.clickedAt = performance.now(); }, true);
        window.addEventListener('tarvikdns-screen', () => {
            const selected = document.querySelector('#screen svg g.segment.selected text');
            if (watch.wanted && !watch.redrawnAt && selected && selected.textContent === watch.wanted)
                watch.redrawnAt = performance.now();
        });
    });

    const redrawn = [];
    const reported = [];
    for (let click = 0; click < clicks; ++click) {
        const title = click % 2 ? 'Both' : 'Wifi';
        const entries = await page.locator('#feed > li.page').count();
        await page.evaluate((wanted) => Object.assign(window.clickLatency, { wanted, redrawnAt: 0 }), title);
        await page.locator('#screen svg g.segment text', { hasText: new RegExp(`^${title}$`) }).click();
        const reportedAt = await (await page.waitForFunction((count) => {
            const items = document.querySelectorAll('#feed > li.page');
            return items.length > count && items[items.length - 1].textContent.includes('DNSChanged') && performance.now();
        }, entries, { polling: 'raf', timeout: 20000 })).jsonValue();
        const watch = await page.evaluate(() => window.clickLatency);
        redrawn.push(watch.redrawnAt - watch.clickedAt);
        reported.push(reportedAt - watch.clickedAt);
    }

    const console_ = [];
    for (let tap = 0; tap < clicks; ++tap) {
        const title = tap % 2 ? 'Wifi' : 'Both';
        const from = device.output.length;
        const startedAt = performance.now();
        device.process.stdin.write(`tap ${title}\necho tapped-${tap}\n`);
        await device.waitForOutput(`tapped-${tap}\n`, from, 20);
        console_.push(performance.now() - startedAt);
    }

    console.log(`${clicks} taps of "Wifi" and "Both" in turn, on the page and then in the console of one device program:`);
    console.log(line('page: click -> screen redrawn with the segment', redrawn));
    console.log(line('page: click -> the step\'s lines in the feed', reported));
    console.log(line('console: "tap" written -> its lines printed', console_));
    console.log('(a step\'s lines come once netwardd has answered and the device has been quiet for 0.3 s)');
} finally {
    await browser.close();
    device.process.stdin.end();
    await device.stop();
}
