// The docs page of the example project in a real browser: headless Chromium loads the generated
// target/index.html, and the test checks through the DevTools protocol that every model node is
// drawn on the graph's canvas, that clicking one opens its page, that the search box finds
// models, and that the page fetches nothing.
//
//   node docs_browser_test.mjs <brek binary> <source dir>
//
// Exits 77 (skipped) when Chromium is missing, unless CI is set.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [brek, sourceDir] = process.argv.slice(2);
const results = { passed: 0, failed: 0 };
function check(ok, what, detail = '') {
  if (ok) {
    results.passed++;
  } else {
    results.failed++;
    console.log(`FAILED: ${what} ${detail}`);
  }
}

function findChromium() {
  for (const name of ['chromium', 'chromium-browser', 'google-chrome']) {
    try {
      return execFileSync('sh', ['-c', `command -v ${name}`]).toString().trim();
    } catch { /* next */ }
  }
  return null;
}

// The DevTools protocol over --remote-debugging-pipe: JSON messages ended by a NUL byte, sent
// on the browser's file descriptor 3 and received on 4.
class Browser {
  constructor(executable, profileDir) {
    this.child = spawn(executable, [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run',
      '--mute-audio', '--remote-debugging-pipe', `--user-data-dir=${profileDir}`,
      '--window-size=1280,900',
      'about:blank'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] });
    this.nextId = 1;
    this.pending = new Map();
    this.listeners = [];
    let buffer = '';
    this.child.stdio[4].on('data', (chunk) => {
      buffer += chunk.toString();
      let end;
      while ((end = buffer.indexOf('\0')) >= 0) {
        const message = JSON.parse(buffer.slice(0, end));
        buffer = buffer.slice(end + 1);
        if (message.id && this.pending.has(message.id)) {
          const { resolve, reject } = this.pending.get(message.id);
          this.pending.delete(message.id);
          if (message.error) reject(new Error(JSON.stringify(message.error)));
          else resolve(message.result);
        } else {
          this.listeners.forEach((listener) => listener(message));
        }
      }
    });
  }
  send(method, params = {}, sessionId = undefined) {
    const id = this.nextId++;
    const message = { id, method, params };
    if (sessionId) message.sessionId = sessionId;
    this.child.stdio[3].write(JSON.stringify(message) + '\0');
    return new Promise((resolve, reject) => this.pending.set(id, { resolve, reject }));
  }
  once(method) {
    return new Promise((resolve) => {
      const listener = (message) => {
        if (message.method !== method) return;
        this.listeners = this.listeners.filter((l) => l !== listener);
        resolve(message.params);
      };
      this.listeners.push(listener);
    });
  }
  // Resolves once the browser (and so its writes to the profile) has ended.
  close() {
    const ended = new Promise((resolve) => this.child.once('exit', resolve));
    this.child.kill('SIGKILL');
    return ended;
  }
}

async function main() {
  const chromium = findChromium();
  if (!chromium) {
    console.log('Chromium is not installed (apt-get install chromium)');
    return process.env.CI ? 1 : 77;
  }
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'brek_docs_browser_'));
  try {
    fs.cpSync(path.join(sourceDir, 'examples', 'shop'), path.join(work, 'shop'), { recursive: true });
    for (const generated of ['data', '.zyl', 'logs', 'target']) {
      fs.rmSync(path.join(work, 'shop', generated), { recursive: true, force: true });
    }
    // A cross build's brek starts under its emulator (ZYL_TEST_EMULATOR: words split by '|').
    const start = (process.env.ZYL_TEST_EMULATOR || '').split('|').filter((w) => w).concat(brek);
    execFileSync(start[0], [...start.slice(1), 'docs', 'generate', '--project-dir',
                            path.join(work, 'shop')],
                 { stdio: ['ignore', 'pipe', 'inherit'] });
    const page = path.join(work, 'shop', 'target', 'index.html');
    check(fs.existsSync(page), 'docs generate writes target/index.html');
    await inBrowser(chromium, page, path.join(work, 'profile'));
  } finally {
    // Chromium's helper processes may still be letting go of the profile.
    fs.rmSync(work, { recursive: true, force: true, maxRetries: 10 });
  }
  console.log(`${results.passed} passed, ${results.failed} failed`);
  return results.failed === 0 ? 0 : 1;
}

async function inBrowser(chromium, page, profileDir) {
  const browser = new Browser(chromium, profileDir);
  try {
    const { targetId } = await browser.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await browser.send('Target.attachToTarget', { targetId, flatten: true });
    const send = (method, params) => browser.send(method, params, sessionId);
    const evaluate = async (expression) => {
      const { result, exceptionDetails } = await send('Runtime.evaluate',
        { expression, awaitPromise: true, returnByValue: true });
      if (exceptionDetails) throw new Error(JSON.stringify(exceptionDetails));
      return result.value;
    };
    const requests = [];
    browser.listeners.push((m) => {
      if (m.method === 'Network.requestWillBeSent') requests.push(m.params.request.url);
    });
    await send('Network.enable');
    await send('Page.enable');
    const loaded = browser.once('Page.loadEventFired');
    const url = 'file://' + page;
    await send('Page.navigate', { url });
    await loaded;
    // Ready once the graph is laid out and two frames have been painted.
    await evaluate(`new Promise((resolve) => {
      const wait = () => (window.zylDocs && window.zylDocs.ready)
        ? requestAnimationFrame(() => requestAnimationFrame(resolve)) : setTimeout(wait, 20);
      wait(); })`);

    const models = await evaluate(`(() => {
      const { cy, data } = window.zylDocs;
      const box = document.getElementById('graph').getBoundingClientRect();
      const canvases = Array.from(document.querySelectorAll('#graph canvas'));
      const hex = (c) => [1, 3, 5].map((i) => parseInt(c.slice(i, i + 2), 16));
      return data.nodes.filter((n) => n.kind === 'model').map((n) => {
        const node = cy.getElementById(n.id);
        const p = node.renderedPosition();
        const want = hex(node.data('colour'));
        // The node's colour on a canvas at its centre means the node was painted there.
        const painted = canvases.some((canvas) => {
          const ratio = canvas.width / canvas.clientWidth;
          const pixel = canvas.getContext('2d').getImageData(
            Math.round(p.x * ratio), Math.round(p.y * ratio), 1, 1).data;
          return pixel[3] > 200 && want.every((v, i) => Math.abs(v - pixel[i]) < 12);
        });
        const inside = p.x > 0 && p.y > 0 && p.x < box.width && p.y < box.height;
        return { id: n.id, name: n.name, x: box.left + p.x, y: box.top + p.y, painted, inside };
      });
    })()`);
    check(models.length === 7, 'the page holds the 7 models of the example', `(${models.length})`);
    for (const m of models) {
      check(m.inside && m.painted, `model ${m.name} is drawn`, JSON.stringify(m));
    }

    for (const m of models.slice(0, 2)) {
      await send('Input.dispatchMouseEvent', { type: 'mouseMoved', x: m.x, y: m.y });
      await send('Input.dispatchMouseEvent',
        { type: 'mousePressed', x: m.x, y: m.y, button: 'left', clickCount: 1 });
      await send('Input.dispatchMouseEvent',
        { type: 'mouseReleased', x: m.x, y: m.y, button: 'left', clickCount: 1 });
      const opened = await evaluate(`new Promise((resolve) => {
        const started = Date.now();
        const look = () => {
          const page = document.getElementById('page');
          if (!page.hidden) return resolve({ title: page.querySelector('h2').textContent,
            text: page.textContent, hash: location.hash });
          if (Date.now() - started > 5000) return resolve(null);
          setTimeout(look, 20);
        };
        look(); })`);
      check(opened && opened.title === m.name, `clicking ${m.name} opens its page`,
            JSON.stringify(opened && opened.title));
      check(opened && opened.text.includes('Compiled SQL'), `the page of ${m.name} shows its SQL`);
      await evaluate(`new Promise((resolve) => { location.hash = '';
        requestAnimationFrame(() => requestAnimationFrame(resolve)); })`);
    }

    const found = await evaluate(`(() => {
      const search = document.getElementById('search');
      search.value = 'stg_cust';
      search.dispatchEvent(new Event('input'));
      return Array.from(document.querySelectorAll('#results a')).map((a) => a.textContent);
    })()`);
    check(found.length === 1 && found[0].startsWith('stg_customers'), 'the search box finds a model',
          JSON.stringify(found));

    const sources = await evaluate(`window.zylDocs.data.nodes.filter((n) => n.kind === 'source')
      .map((n) => window.zylDocs.cy.getElementById(n.id).data('label'))`);
    check(sources.some((label) => label.includes('crm (sqlite)')),
          'sources are labelled with their connection and engine', JSON.stringify(sources));

    const outside = requests.filter((r) => !r.startsWith('file://') && !r.startsWith('data:'));
    check(outside.length === 0, 'the page fetches nothing', JSON.stringify(outside));
  } finally {
    await browser.close();
  }
}

const watchdog = setTimeout(() => {
  console.log('FAILED: the browser test did not finish within 120 s');
  process.exit(1);
}, 120000);
main().then((code) => { clearTimeout(watchdog); process.exit(code); },
            (error) => { console.log('FAILED:', error); process.exit(1); });
