#include "DevicePageAssets.h"

namespace DevicePageAssets {

const char* const html = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="tarvikdns-token" content="{{TOKEN}}">
<title>TarvikDNS device</title>
<link rel="stylesheet" href="/page.css">
<script src="/page.js" defer></script>
</head>
<body>
<header>
  <h1>TarvikDNS device</h1>
  <p id="connection" role="status">Connecting to the device…</p>
</header>
<main>
  <section id="device" aria-label="The device">
    <div id="bezel" class="phone portrait">
      <div id="display">
        <div id="screen" aria-label="The screen: click to touch it"></div>
        <div id="keys" hidden>The software keyboard: type on yours</div>
      </div>
    </div>
    <p id="keyboard" role="status"></p>
    <p id="note" role="alert"></p>
  </section>
  <aside>
    <section aria-labelledby="turn-title">
      <h2 id="turn-title">Turn the device</h2>
      <div class="buttons">
        <button type="button" data-orientation="portrait">Portrait</button>
        <button type="button" data-orientation="landscape-right">Landscape</button>
        <button type="button" data-orientation="landscape-left">Landscape left</button>
        <button type="button" data-orientation="upside-down">Upside down</button>
      </div>
    </section>
    <section aria-labelledby="fresh-title">
      <h2 id="fresh-title">A fresh device</h2>
      <form id="fresh">
        <label>Model <select name="model"><option>iPhone</option><option>iPad</option></select></label>
        <label>System <select name="version"><option>7.1</option><option>7.0</option><option>6.1</option><option>6.0</option></select></label>
        <button type="submit">Start over</button>
      </form>
      <p class="hint">Empties the device folder and starts the device again with this model and system, as
        <code>--fresh --model --version</code> do. The page stays open.</p>
      <p id="current" class="hint"></p>
    </section>
    <section aria-labelledby="feed-title">
      <h2 id="feed-title">What happens</h2>
      <ol id="feed" aria-live="polite"></ol>
    </section>
    <section aria-labelledby="status-title">
      <h2 id="status-title">Status</h2>
      <pre id="status"></pre>
    </section>
  </aside>
</main>
</body>
</html>
)page";

const char* const script = R"page('use strict';
// The device's page: the screen as the device draws it, a click as a finger, keys into the field that
// has the keyboard. Every step goes to the device in the order made; what the device shows comes back
// as events.
(() => {
    const token = document.querySelector('meta[name="tarvikdns-token"]').content;
    const screenBox = document.getElementById('screen');
    const bezel = document.getElementById('bezel');
    const feed = document.getElementById('feed');
    const status = document.getElementById('status');
    const connection = document.getElementById('connection');
    const keyboard = document.getElementById('keyboard');
    const keys = document.getElementById('keys');
    const note = document.getElementById('note');
    const current = document.getElementById('current');
    const page = window.tarvikdnsPage = { screens: 0, shown: null };

    let steps = Promise.resolve();
    let typed = '';

    const say = (text) => { note.textContent = text || ''; };

    const post = async (path, fields) => {
        try {
            const response = await fetch(path, { method: 'POST', headers: { 'X-TarvikDNS-Token': token },
                                                  body: new URLSearchParams(fields) });
            const answer = await response.json().catch(() => ({}));
            say(response.ok ? '' : (answer.problem || answer.error || response.statusText));
            return answer;
        } catch (error) {
            say('The device does not answer: ' + error.message);
            return {};
        }
    };
    // Steps go one after another, in the order they were made.
    const send = (path, fields) => (steps = steps.then(() => post(path, fields)));

    const sendTyped = () => {
        if (!typed)
            return steps;
        steps = steps.then(() => {
            const text = typed;
            typed = '';
            return text ? post('/type', { text }) : undefined;
        });
        return steps;
    };

    const scaleOf = (screen) => (screen.model === 'iPad' ? 0.75 : 1.25);
    // The software keyboard's height in points, as the system shows it.
    const keyboardHeightOf = (screen) => (screen.model === 'iPad' ? (screen.width > screen.height ? 352 : 264)
                                                                  : (screen.width > screen.height ? 162 : 216));

    const show = (screen) => {
        page.shown = screen;
        screenBox.innerHTML = screen.svg;
        const svg = screenBox.querySelector('svg');
        const scale = scaleOf(screen);
        if (svg) {
            svg.setAttribute('width', String(screen.width * scale));
            svg.setAttribute('height', String(screen.height * scale));
        }
        keys.hidden = !screen.keyboard;
        keys.style.height = (keyboardHeightOf(screen) * scale) + 'px';
        const landscape = screen.width > screen.height;
        bezel.className = (screen.model === 'iPad' ? 'tablet' : 'phone') + (landscape ? ' landscape' : ' portrait');
        current.textContent = 'This device: ' + screen.model + ', system ' + screen.version + '.';
        keyboard.textContent = screen.typingInto
            ? 'The keyboard types into ' + (screen.typingInto.startsWith('the ') ? screen.typingInto : 'the ' + screen.typingInto + ' field')
              + ': type, Backspace deletes, Return presses Return.'
            : (screen.keyboard ? 'The keyboard is up.' : '');
        page.screens += 1;
        requestAnimationFrame(() => window.dispatchEvent(new CustomEvent('tarvikdns-screen', { detail: page.screens })));
    };

    const addToFeed = (entry) => {
        const item = document.createElement('li');
        item.className = entry.origin;
        const head = document.createElement('div');
        head.className = 'step';
        head.textContent = entry.origin === 'outside' ? '(from outside)'
            : (entry.origin === 'page' ? '(from the page) ' : '> ') + entry.step;
        item.append(head);
        const lines = entry.problem ? [entry.problem, ...entry.lines] : entry.lines;
        if (lines.length) {
            const list = document.createElement('ul');
            for (const line of lines) {
                const shown = document.createElement('li');
                shown.textContent = line;
                list.append(shown);
            }
            item.append(list);
        }
        feed.append(item);
        while (feed.children.length > 300)
            feed.firstElementChild.remove();
        feed.scrollTop = feed.scrollHeight;
    };

    const events = new EventSource('/events');
    events.addEventListener('open', () => {
        connection.textContent = 'Live: what the device shows appears here as it happens.';
        // A new stream tells the feed from its start.
        feed.replaceChildren();
    });
    events.addEventListener('error', () => { connection.textContent = 'The device is away; trying again…'; });
    events.addEventListener('screen', (event) => show(JSON.parse(event.data)));
    events.addEventListener('status', (event) => { status.textContent = JSON.parse(event.data); });
    events.addEventListener('feed', (event) => addToFeed(JSON.parse(event.data)));

    screenBox.addEventListener('click', (event) => {
        const svg = screenBox.querySelector('svg');
        if (!svg || !page.shown)
            return;
        const point = new DOMPoint(event.clientX, event.clientY).matrixTransform(svg.getScreenCTM().inverse());
        const x = Math.min(Math.max(point.x, 0), page.shown.width);
        const y = Math.min(Math.max(point.y, 0), page.shown.height);
        sendTyped();
        send('/touch', { x: x.toFixed(2), y: y.toFixed(2) });
    });

    // Keys go to the device unless a control of the page has them; the device says when no field of
    // its own has the keyboard. They go in order after any touch made before them.
    document.addEventListener('keydown', (event) => {
        const inForm = event.target.closest && event.target.closest('aside');
        if (inForm || !page.shown || event.ctrlKey || event.metaKey || event.altKey)
            return;
        if (event.key === 'Enter') {
            sendTyped();
            send('/key', { key: 'Return' });
        } else if (event.key === 'Backspace') {
            sendTyped();
            send('/key', { key: 'Backspace' });
        } else if ([...event.key].length === 1) {
            const first = !typed;
            typed += event.key;
            if (first)
                sendTyped();
        } else {
            return;
        }
        event.preventDefault();
    });

    for (const button of document.querySelectorAll('[data-orientation]'))
        button.addEventListener('click', () => send('/rotate', { orientation: button.dataset.orientation }));

    document.getElementById('fresh').addEventListener('submit', (event) => {
        event.preventDefault();
        const form = new FormData(event.target);
        const model = form.get('model');
        const version = form.get('version');
        if (!window.confirm('Start a fresh ' + model + ' on system ' + version + '? The device folder is emptied.'))
            return;
        connection.textContent = 'Starting a fresh device…';
        send('/fresh', { model, version });
    });
})();
)page";

const char* const style = R"page(:root {
    color-scheme: light;
    font-family: system-ui, -apple-system, "Helvetica Neue", Arial, sans-serif;
    background: #e9e9ee;
    color: #1c1c1e;
}
body { margin: 0; }
header { padding: 12px 24px; background: #fff; border-bottom: 1px solid #c8c7cc; }
header h1 { margin: 0; font-size: 20px; }
header p { margin: 4px 0 0; color: #555; font-size: 14px; }
main { display: flex; gap: 32px; padding: 24px; align-items: flex-start; flex-wrap: wrap; }
#device { display: flex; flex-direction: column; align-items: center; gap: 8px; }
#bezel {
    background: #1c1c1e;
    border-radius: 40px;
    box-shadow: 0 8px 24px rgba(0, 0, 0, 0.25);
    position: relative;
    line-height: 0;
}
#bezel.phone.portrait { padding: 72px 18px; }
#bezel.phone.landscape { padding: 18px 72px; }
#bezel.tablet.portrait { padding: 56px 28px; border-radius: 32px; }
#bezel.tablet.landscape { padding: 28px 56px; border-radius: 32px; }
#bezel::after {
    content: "";
    position: absolute;
    width: 40px;
    height: 40px;
    border-radius: 50%;
    border: 2px solid #48484a;
}
#bezel.portrait::after { bottom: 16px; left: calc(50% - 22px); }
#bezel.landscape::after { right: 16px; top: calc(50% - 22px); }
#bezel.tablet.portrait::after { bottom: 8px; }
#bezel.tablet.landscape::after { right: 8px; }
#display { position: relative; }
#screen { cursor: pointer; background: #efeff4; }
#keys {
    position: absolute;
    left: 0;
    right: 0;
    bottom: 0;
    background: #d1d4d9;
    border-top: 1px solid #a8abb0;
    color: #555;
    font-size: 14px;
    line-height: normal;
    display: flex;
    align-items: center;
    justify-content: center;
    pointer-events: none;
}
#keys[hidden] { display: none; }
#screen svg { display: block; user-select: text; }
#keyboard, #note { margin: 0; min-height: 1.2em; font-size: 14px; max-width: 480px; text-align: center; }
#note { color: #b00020; }
aside { flex: 1; min-width: 320px; max-width: 760px; display: flex; flex-direction: column; gap: 16px; }
aside section { background: #fff; border-radius: 10px; padding: 12px 16px; border: 1px solid #c8c7cc; }
aside h2 { margin: 0 0 8px; font-size: 16px; }
.buttons { display: flex; gap: 8px; flex-wrap: wrap; }
button, select { font: inherit; font-size: 14px; padding: 4px 10px; }
form { display: flex; gap: 12px; align-items: center; flex-wrap: wrap; }
.hint { font-size: 13px; color: #555; margin: 8px 0 0; }
#feed { list-style: none; margin: 0; padding: 0; max-height: 320px; overflow-y: auto; font-family: ui-monospace, Menlo, monospace; font-size: 12px; }
#feed > li { padding: 4px 0; border-bottom: 1px solid #eee; }
#feed > li.page .step { color: #007aff; }
#feed > li.outside .step { color: #8e44ad; }
#feed ul { margin: 2px 0 0 16px; padding: 0; list-style: none; color: #333; white-space: pre-wrap; word-break: break-all; }
#status { margin: 0; font-size: 12px; overflow-x: auto; }
)page";

} // namespace DevicePageAssets
