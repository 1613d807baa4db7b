// What the browser tests share: the device program started with its page on a fresh temporary device
// and a free port, the device's own programs to look at it from outside the page, and Chromium.
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

export const chromiumPath = '/usr/bin/chromium';
export const wifiService = '5E1F1A2B-WIFI-4C3D-8E9F-0A1B2C3D4E5F';
const here = dirname(fileURLToPath(import.meta.url));

// Why the browser tests cannot run here, or null when they can.
export function missingPrerequisite() {
    if (!existsSync(chromiumPath))
        return `no ${chromiumPath}: install Debian's chromium (scripts/test does)`;
    if (!existsSync(join(here, 'node_modules', 'playwright-core')))
        return `no playwright-core in ${join(here, 'node_modules')}: run "npm ci" in tests/browser (scripts/test does)`;
    return null;
}

export async function launchChromium() {
    const { chromium } = await import('playwright-core');
    const args = process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [];
    return chromium.launch({ executablePath: chromiumPath, args, headless: true });
}

// The device program with --web on a device folder of its own; stop() ends it and removes the folder.
export class DeviceProgram {
    constructor(buildDir, extraArguments = []) {
        this.buildDir = buildDir;
        this.root = mkdtempSync(join(tmpdir(), 'tarvikdns-page-'));
        this.output = '';
        this.process = spawn(join(buildDir, 'bin', 'tarvikdns-device'),
            ['--root', this.root, '--no-tour', '--web', '127.0.0.1:0', ...extraArguments],
            { stdio: ['pipe', 'pipe', 'pipe'] });
        this.process.stdout.setEncoding('utf8');
        this.process.stdout.on('data', (text) => { this.output += text; });
        this.process.stderr.setEncoding('utf8');
        this.process.stderr.on('data', (text) => { this.errors = (this.errors || '') + text; });
        this.exited = new Promise((resolve) => this.process.on('exit', (code, signal) => resolve({ code, signal })));
    }

    // Waits until the output holds the text (a string or a regular expression); the match.
    async waitForOutput(pattern, from = 0, seconds = 60) {
        const deadline = Date.now() + seconds * 1000;
        for (;;) {
            const rest = this.output.slice(from);
            const match = typeof pattern === 'string' ? (rest.includes(pattern) ? [pattern] : null) : rest.match(pattern);
            if (match)
                return match;
            if (Date.now() > deadline)
                throw new Error(`the device program did not print ${pattern} within ${seconds} s:\n${this.output}\n${this.errors || ''}`);
            await new Promise((resolve) => setTimeout(resolve, 50));
        }
    }

    async link() {
        return (await this.waitForOutput(/The device's page: (http:\/\/\S+)/))[1];
    }

    // Runs one of the device's programs (scutil, notifyutil, launchctl) on this device.
    run(program, args) {
        const result = spawnSync(join(this.buildDir, 'bin', program), args,
            { env: { ...process.env, TARVIKDNS_DEVICE_ROOT: this.root }, encoding: 'utf8', timeout: 20000 });
        return { status: result.status, output: result.stdout || '', errors: result.stderr || '' };
    }

    // The value of a preference, as the preferences file holds it; null when it holds none.
    preference(key) {
        const path = join(this.root, 'var/mobile/Library/Preferences/com.tarvik.dns.plist');
        if (!existsSync(path))
            return null;
        const match = readFileSync(path, 'utf8').match(new RegExp(`<key>${key}</key>\\s*<(string|true|false)\\s*/?>([^<]*)`));
        return match ? (match[1] === 'string' ? match[2] : match[1]) : null;
    }

    // Tells the program to end, as Ctrl-C would; its exit, and the jobs that launchctl still lists on the
    // device after it (none: the program stops what it started).
    async stop() {
        let ended = this.process.exitCode === null && this.process.signalCode === null ? null : await this.exited;
        if (!ended) {
            this.process.kill('SIGTERM');
            ended = await Promise.race([this.exited, new Promise((resolve) => setTimeout(() => resolve(null), 30000))]);
        }
        if (!ended) {
            this.process.kill('SIGKILL');
            await this.exited;
        }
        const jobs = this.run('launchctl', ['list']).output.split('\n').slice(1).filter((line) => line.trim());
        rmSync(this.root, { recursive: true, force: true });
        return { ...(ended || { code: null, signal: 'SIGKILL' }), jobs };
    }
}

// Polls until `check` gives a true value; that value.
export async function eventually(check, what, seconds = 20) {
    const deadline = Date.now() + seconds * 1000;
    for (;;) {
        const value = await check();
        if (value)
            return value;
        if (Date.now() > deadline)
            throw new Error(`not within ${seconds} s: ${what}`);
        await new Promise((resolve) => setTimeout(resolve, 100));
    }
}
