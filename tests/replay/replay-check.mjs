// Opens a run's WACZ package in ReplayWeb.page (a built copy from the npm registry), in Debian's headless
// chromium driven by puppeteer-core: the harvested page must replay with every picture it shows, and the
// package's page list must find it by a word of its text, and leave out a page without that word. Pictures
// the page loads that no cache held (so no record has them) are the only ones allowed to stay blank.
// Exit 0 on success, 1 on a failure, 77 to skip.
//
// Usage: node replay-check.mjs PUPPETEER_MODULE REPLAYWEBPAGE_FOLDER WACZ RECORDED_URLS_FILE PAGE_URL WORD
//                              TITLE OTHER_TITLE
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';

const [puppeteerModule, rwp, wacz, recordedFile, pageUrl, word, title, otherTitle] = process.argv.slice(2);
const recorded = new Set(fs.readFileSync(recordedFile, 'utf8').split('\n').filter(Boolean));
const puppeteer = (await import(puppeteerModule)).default;
const chromium = ['/usr/bin/chromium', '/usr/bin/chromium-browser'].find((p) => fs.existsSync(p));
if (!chromium) {
  console.log('SKIP: chromium is missing (Debian package chromium)');
  process.exit(77);
}

const types = { '.js': 'text/javascript', '.html': 'text/html', '.wacz': 'application/wacz' };
// Serves the viewer, its service worker where the embed looks for it, the package (with the ranges the
// viewer reads it by) and the page that embeds it.
const server = http.createServer((request, response) => {
  const url = new URL(request.url, 'http://127.0.0.1');
  let file;
  if (url.pathname === '/embed.html') {
    const body = `<!doctype html><meta charset="utf-8"><script src="/ui.js"></script>` +
      `<replay-web-page style="width:1024px;height:700px;display:block" source="/run.wacz" ` +
      `url="${url.searchParams.get('url')}" embed="replayonly"></replay-web-page>`;
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end(body);
    return;
  }
  if (url.pathname === '/run.wacz') file = wacz;
  else if (url.pathname === '/replay/sw.js') file = path.join(rwp, 'sw.js');
  else file = path.join(rwp, path.normalize(url.pathname).replace(/^(\.\.[/\\])+/, ''));
  if (!fs.existsSync(file) || !fs.statSync(file).isFile()) {
    response.writeHead(404);
    response.end();
    return;
  }
  const size = fs.statSync(file).size;
  const headers = { 'Content-Type': types[path.extname(file)] || 'application/octet-stream', 'Accept-Ranges': 'bytes' };
  const range = /^bytes=(\d*)-(\d*)$/.exec(request.headers.range || '');
  let start = 0, end = size - 1, status = 200;
  if (range) {
    // A suffix range longer than the file asks for the whole file.
    start = range[1] === '' ? Math.max(0, size - Number(range[2])) : Number(range[1]);
    end = range[1] !== '' && range[2] !== '' ? Math.min(Number(range[2]), size - 1) : size - 1;
    status = 206;
    headers['Content-Range'] = `bytes ${start}-${end}/${size}`;
  }
  headers['Content-Length'] = end - start + 1;
  response.writeHead(status, headers);
  if (request.method === 'HEAD') response.end();
  else fs.createReadStream(file, { start, end }).pipe(response);
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
let failed = false;
const fail = (message) => { console.log(`FAIL: ${message}`); failed = true; };
try {
  // The page replayed: its frame loads from the archive, every picture with it.
  const page = await browser.newPage();
  await page.goto(`${origin}/embed.html?url=${encodeURIComponent(pageUrl)}`, { waitUntil: 'load' });
  let replayed = null;
  for (let i = 0; i < 120 && !replayed; ++i) {
    await new Promise((resolve) => setTimeout(resolve, 250));
    replayed = page.frames().find((frame) => frame.url().includes('mp_/') && frame.url().endsWith(pageUrl));
  }
  if (!replayed) {
    fail(`the page never replayed; frames: ${page.frames().map((f) => f.url()).join(' ')}`);
  } else {
    await replayed.waitForFunction(() => document.readyState === 'complete', { timeout: 30000 });
    const pictures = await replayed.evaluate(async () => {
      const images = [...document.images];
      await Promise.all(images.map((image) => image.decode().catch(() => {})));
      return images.map((image) => ({ src: image.currentSrc || image.src, width: image.naturalWidth }));
    });
    // The replayed address ends in the original one.
    const original = (src) => src.slice(src.indexOf('mp_/') + 4);
    const shown = pictures.filter((picture) => picture.width > 0);
    const broken = pictures.filter((picture) => picture.width === 0 && recorded.has(original(picture.src)));
    console.log(`replayed ${pageUrl}: ${shown.length} of ${pictures.length} pictures shown, ` +
      `${pictures.length - shown.length - broken.length} never cached`);
    if (shown.length === 0) fail('the replayed page shows no picture');
    for (const picture of broken) fail(`recorded picture not shown: ${original(picture.src)}`);
  }

  // The page list shows both pages, and with a word of one's text, that one alone.
  const listedFor = async (query, expected) => {
    const app = await browser.newPage();
    await app.goto(`${origin}/index.html?source=${encodeURIComponent(origin + '/run.wacz')}#view=pages` +
      (query ? `&query=${encodeURIComponent(query)}` : ''), { waitUntil: 'load' });
    let listed = '';
    for (let i = 0; i < 120 && !listed.includes(expected); ++i) {
      await new Promise((resolve) => setTimeout(resolve, 250));
      listed = await app.evaluate(deepText);
    }
    await app.close();
    return listed;
  };
  const deepText = () => {
    const texts = [];
    const walk = (root) => {
      for (const element of root.querySelectorAll('*')) {
        if (element.shadowRoot) walk(element.shadowRoot);
        for (const node of element.childNodes) if (node.nodeType === 3) texts.push(node.textContent);
      }
    };
    walk(document);
    return texts.join(' ');
  };
  const all = await listedFor('', otherTitle);
  if (!all.includes(title) || !all.includes(otherTitle)) fail(`the page list lacks "${title}" or "${otherTitle}"`);
  const listed = await listedFor(word, title);
  console.log(`searching the pages for "${word}": "${title}" ${listed.includes(title) ? 'listed' : 'not listed'}, ` +
    `"${otherTitle}" ${listed.includes(otherTitle) ? 'listed' : 'left out'}`);
  if (!listed.includes(title)) fail(`the search for "${word}" did not list "${title}"`);
  if (listed.includes(otherTitle)) fail(`the search for "${word}" listed "${otherTitle}" too`);
} finally {
  await browser.close();
  server.close();
}
process.exit(failed ? 1 : 0);
