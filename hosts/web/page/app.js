// The page: opens a file (picker, drop or ?src=URL), hands it to the worker,
// and shows what comes back. Its state is on <body>: data-state is idle, busy,
// ready or error, data-error the message of the last failure.
(() => {
  'use strict';
  const $ = (id) => document.getElementById(id);
  const body = document.body;
  const canvas = $('canvas');
  const table = $('entries');
  const thumbs = $('thumbs');
  let worker = null;
  let archiveName = '';
  // The shown archive's entries in archive order, each {name, size, position,
  // index}; their rows and gallery items, made when first needed, by index.
  let entries = [];
  let rowElements = [], itemElements = [];
  // What the worker found each entry to be, by index: picture or not, or not
  // yet looked at; `checked` counts those looked at.
  const KIND_UNKNOWN = 0, KIND_PICTURE = 1;
  let kinds = new Uint8Array(0), checked = 0;
  let shown = [];         // entries in the table's order, after the filter
  let galleryOrder = [];  // the pictures among them, as the gallery shows them
  let generation = 0;     // counts opened files; answers for an earlier one are dropped
  const entryOf = new WeakMap();  // row or gallery item -> its entry
  let sortKey = 'position', sortAscending = true;
  let selected = null;    // the entry last opened from the row list or the gallery
  let opening = null;     // the entry being opened, until the worker answers
  let shownEntry = null;  // {name, data} of an archive entry shown as a picture
  let pictureName = '';

  function setState(state, error) {
    body.dataset.state = state;
    body.dataset.error = error || '';
    $('message').textContent = error || '';
    $('progress-box').hidden = state !== 'busy';
    $('file').disabled = state === 'busy';
  }
  function fail(message) { setState('error', message); }

  function busy(text) {
    $('progress').value = 0;
    setState('busy');
    $('message').textContent = text;
  }

  function startWorker() {
    try {
      const source = $('worker-source').textContent;
      const url = URL.createObjectURL(new Blob([source], { type: 'text/javascript' }));
      worker = new Worker(url);
      worker.onmessage = (event) => receive(event.data);
      worker.onerror = (event) => {
        event.preventDefault();
        fail('the page failed: ' + (event.message || 'the worker stopped'));
      };
    } catch (error) {
      fail('this browser cannot run the decoder: ' + error.message);
    }
  }

  function post(message, transfer) {
    if (worker === null) return;
    worker.postMessage(message, transfer || []);
  }

  // --- opening ---------------------------------------------------------------

  function openBytes(name, buffer) {
    $('archive').hidden = true;
    hidePicture();
    forgetArchive();
    busy('Opening ' + name + '\u2026');
    post({ type: 'open', name, bytes: buffer, generation }, [buffer]);
  }

  async function openFile(file) {
    busy('Reading ' + file.name + '\u2026');
    try {
      openBytes(file.name, await file.arrayBuffer());
    } catch (error) {
      fail(file.name + ': cannot read the file (' + error.message + ')');
    }
  }

  let fetching = null;  // the AbortController of a ?src download under way

  async function openUrl(url) {
    fetching = new AbortController();
    try {
      const parsed = new URL(url, location.href);
      const name = decodeURIComponent(parsed.pathname.split('/').pop()) || parsed.host || url;
      busy('Fetching ' + name + '\u2026');
      const response = await fetch(parsed, { credentials: 'same-origin', signal: fetching.signal });
      if (!response.ok) {
        fail(url + ': cannot fetch (HTTP ' + response.status + ')');
        return;
      }
      const bytes = await response.arrayBuffer();
      fetching = null;
      openBytes(name, bytes);
    } catch (error) {
      fail(url + (error.name === 'AbortError' ? ': interrupted'
        : ': cannot fetch (' + (error.message || error) + ')'));
    } finally {
      fetching = null;
    }
  }

  $('file').addEventListener('change', () => {
    const file = $('file').files[0];
    if (file) openFile(file);
    $('file').value = '';
  });

  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    body.classList.add('dragging');
  });
  document.addEventListener('dragleave', () => body.classList.remove('dragging'));
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    body.classList.remove('dragging');
    if (body.dataset.state === 'busy') return;
    const file = event.dataTransfer.files[0];
    if (file) openFile(file);
    else fail('only files can be dropped here');
  });

  $('cancel').addEventListener('click', () => {
    if (fetching !== null) fetching.abort();
    else post({ type: 'cancel' });
  });

  // --- what the worker sends back -------------------------------------------

  function receive(message) {
    switch (message.type) {
      case 'started':
        $('about').textContent = 'Plug-ins: ' + message.plugins.join('; ') + '.';
        break;
      case 'progress':
        $('progress').value = message.percent;
        break;
      case 'picture':
        opening = null;
        showPicture(message);
        setState('ready');
        break;
      case 'archive':
        showArchive(message);
        setState('ready');
        break;
      case 'entry':
        opening = null;
        hidePicture();
        setState('ready');
        $('message').textContent = message.name + ' is not a Quorvanel CG picture; it can be downloaded.';
        break;
      case 'kinds':
        if (message.generation === generation) addKinds(message);
        break;
      case 'thumb':
        if (message.generation === generation) showThumb(message);
        break;
      case 'extracted':
        for (const file of message.files) {
          download(new Blob([file.data], { type: 'application/octet-stream' }), file.name);
        }
        setState('ready');
        break;
      case 'zip':
        finishZip(message);
        break;
      case 'error':
        if (opening !== null) hidePicture();
        opening = null;
        fail(message.message);
        break;
    }
  }

  // --- pictures --------------------------------------------------------------

  function showPicture({ name, width, height, bits, rgba, entry, data, decodeMs }) {
    canvas.width = width;
    canvas.height = height;
    canvas.getContext('2d').putImageData(new ImageData(rgba, width, height), 0, 0);
    canvas.dataset.width = width;
    canvas.dataset.height = height;
    canvas.dataset.bits = bits;
    canvas.dataset.decodeMs = decodeMs.toFixed(1);
    pictureName = name;
    shownEntry = entry ? { name: entry, data } : null;
    $('picture-name').textContent = name;
    $('picture-facts').textContent = width + ' \u00d7 ' + height + ', ' + bits + ' bits per pixel';
    $('download-entry').hidden = shownEntry === null;
    $('picture').hidden = false;
    // Beside the archive, so that the gallery stays in view.
    $('main').classList.toggle('split', !$('archive').hidden);
  }

  function hidePicture() {
    $('picture').hidden = true;
    $('main').classList.remove('split');
  }

  $('zoom').addEventListener('click', () => {
    const fit = $('canvas-box').classList.toggle('fit');
    $('zoom').textContent = fit ? 'Show at 100%' : 'Fit to window';
  });

  $('download-png').addEventListener('click', () => {
    canvas.toBlob((blob) => {
      if (blob) download(blob, pictureName.replace(/\.[^.]*$/, '') + '.png');
      else fail(pictureName + ': cannot make a PNG of this picture');
    }, 'image/png');
  });

  $('download-entry').addEventListener('click', () => {
    if (shownEntry) download(new Blob([shownEntry.data], { type: 'application/octet-stream' }), shownEntry.name);
  });

  function download(blob, name) {
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

  // --- archives --------------------------------------------------------------

  function showArchive(message) {
    archiveName = message.name;
    entries = message.entries.map((entry, index) => Object.assign(entry, { index }));
    rowElements = new Array(entries.length);
    itemElements = new Array(entries.length);
    kinds = new Uint8Array(entries.length);
    checked = 0;
    $('archive-name').textContent = archiveName + ': ' + entries.length +
      (entries.length === 1 ? ' entry' : ' entries');
    $('download-all').disabled = entries.length === 0;
    $('archive').hidden = false;
    renderRows();
  }

  // Drops what belongs to the shown archive: its gallery, thumbnails, answers
  // still to come.
  function forgetArchive() {
    generation += 1;
    for (const url of thumbUrls) URL.revokeObjectURL(url);
    thumbUrls = [];
    inView = [];
    asked.clear();
    entries = [];
    rowElements = [];
    itemElements = [];
    kinds = new Uint8Array(0);
    checked = 0;
    shown = [];
    galleryOrder = [];
    selected = null;
    for (const owner of [table, thumbs]) {
      clearTimeout(filling.get(owner));
      filling.delete(owner);
      owner.removeAttribute('aria-busy');
    }
    for (const section of [...table.tBodies]) section.remove();
    thumbs.replaceChildren();
  }

  // Rows and gallery items are made once per entry and then only moved, so
  // that sorting and filtering keep thumbnails and listeners.
  function rowOf(entry) {
    if (rowElements[entry.index] === undefined) {
      const row = document.createElement('tr');
      row.setAttribute('role', 'row');
      row.dataset.name = entry.name;
      row.dataset.size = entry.size;
      row.dataset.position = entry.position;
      const cells = [entry.name, entry.size.toLocaleString('en'), entry.position.toLocaleString('en')];
      cells.forEach((text, i) => {
        const cell = row.insertCell();
        cell.setAttribute('role', 'cell');
        cell.textContent = text;
        if (i > 0) cell.className = 'number';
      });
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = 'Download';
      button.className = 'download';
      const last = row.insertCell();
      last.setAttribute('role', 'cell');
      last.appendChild(button);
      if (entry === selected) row.classList.add('selected');
      entryOf.set(row, entry);
      rowElements[entry.index] = row;
    }
    return rowElements[entry.index];
  }

  function renderRows() {
    const filter = $('filter').value.trim().toLowerCase();
    shown = entries.filter((entry) => entry.name.toLowerCase().includes(filter));
    shown.sort((a, b) => {
      const x = a[sortKey], y = b[sortKey];
      const order = x < y ? -1 : x > y ? 1 : a.position - b.position;
      return sortAscending ? order : -order;
    });
    for (const section of [...table.tBodies]) section.remove();
    // Rows go in groups of ROWS_PER_BODY, one tbody each: a group out of view
    // is skipped by layout as a whole (content-visibility), which keeps
    // thousands of rows cheap; skipping row by row cost more than it saved.
    fill(table, shown.length, 0, (i) => {
      if (i % ROWS_PER_BODY === 0) table.appendChild(document.createElement('tbody')).setAttribute('role', 'rowgroup');
      table.tBodies[table.tBodies.length - 1].appendChild(rowOf(shown[i]));
    });
    renderGallery();
  }
  const ROWS_PER_BODY = 100;

  // Calls put(i) for i from `start` up to `count`, about 25 ms of it at a time,
  // one task after another: thousands of rows or items then never hold the
  // page up. (Each slice costs the page a layout, so much shorter slices would
  // make filling slow.) Meanwhile `owner`, the element filled, is aria-busy; a
  // new fill of it replaces one still under way. placed(first) runs after each
  // slice, `first` the index it began at.
  const filling = new Map();  // owner -> the timer of its next slice
  function fill(owner, count, start, put, placed = () => {}) {
    clearTimeout(filling.get(owner));
    let next = start;
    const slice = () => {
      const until = performance.now() + 25, first = next;
      while (next < count && (next === first || performance.now() < until)) put(next++);
      placed(first);
      if (next < count) {
        owner.setAttribute('aria-busy', 'true');
        filling.set(owner, setTimeout(slice, 0));
      } else {
        owner.removeAttribute('aria-busy');
        filling.delete(owner);
      }
    };
    slice();
  }

  table.addEventListener('click', (event) => {
    const row = event.target.closest('tbody tr');
    const entry = row && entryOf.get(row);
    if (!entry || body.dataset.state === 'busy') return;
    if (event.target.closest('button.download')) {
      busy('Extracting ' + entry.name + '\u2026');
      post({ type: 'extract', purpose: 'save', entries: [entry] });
    } else {
      openEntry(entry);
    }
  });

  function select(entry) {
    if (selected !== null) {
      for (const element of [rowElements[selected.index], itemElements[selected.index]]) {
        if (element) element.classList.remove('selected');
      }
    }
    selected = entry;
    for (const element of [rowElements[entry.index], itemElements[entry.index]]) {
      if (element) element.classList.add('selected');
    }
  }

  // Shows an entry as a picture when it is one; the picture shown until then
  // stays until the answer comes, so that stepping through pictures does not
  // flicker.
  function openEntry(entry) {
    if (body.dataset.state === 'busy') return;
    select(entry);
    opening = entry;
    busy('Opening ' + entry.name + '\u2026');
    post({ type: 'entry', entry });
  }

  $('filter').addEventListener('input', renderRows);

  for (const header of document.querySelectorAll('#entries th[data-key]')) {
    header.addEventListener('click', () => {
      const key = header.dataset.key;
      sortAscending = key === sortKey ? !sortAscending : true;
      sortKey = key;
      for (const other of document.querySelectorAll('#entries th[data-key]')) {
        other.setAttribute('aria-sort', other === header ?
          (sortAscending ? 'ascending' : 'descending') : 'none');
      }
      renderRows();
    });
  }

  $('download-all').addEventListener('click', () => {
    if (body.dataset.state === 'busy' || entries.length === 0) return;
    busy('Extracting ' + entries.length + ' entries\u2026');
    post({ type: 'extract', purpose: 'zip', entries });
  });

  $('download-pictures').addEventListener('click', () => {
    if (body.dataset.state === 'busy' || entries.length === 0) return;
    busy('Converting the pictures to PNG\u2026');
    post({ type: 'pictures' });
  });

  function finishZip({ purpose, name, blob, count, failed }) {
    const stem = name.replace(/\.[^.]*$/, '') || 'archive';
    if (purpose !== 'pictures') {
      download(blob, stem + '.zip');
      setState('ready');
      return;
    }
    if (blob !== null) download(blob, stem + '-png.zip');
    if (failed.length > 0) {
      fail(name + ': ' + (failed.length === 1 ? 'a picture is' : failed.length + ' pictures are') +
        ' not in the ZIP file, as ' + (failed.length === 1 ? 'it cannot' : 'they cannot') + ' be decoded: ' +
        failed.join('; '));
    } else if (count === 0) {
      fail(name + ': holds no Quorvanel CG picture');
    } else {
      setState('ready');
      $('message').textContent = count + (count === 1 ? ' picture' : ' pictures') + ' converted to PNG.';
    }
  }

  // --- the gallery -------------------------------------------------------------
  //
  // One item per picture entry, made when the worker reports the entry as one.
  // Thumbnails are asked for only while their items are in view (or near it),
  // at most THUMBS_ASKED at a time, and the question is taken back when an item
  // scrolls away before the answer: so an archive of thousands of pictures
  // decodes only what a person looks at.

  const THUMBS_ASKED = 3;
  const VIEW_MARGIN = 150;  // pixels above and below the view where thumbnails are made ahead
  let inView = [];          // entries whose items are in or near the view, top first
  const asked = new Set();  // indices of the thumbnails asked of the worker
  let thumbUrls = [];
  let viewQueued = false;
  let viewEnd = 0;          // the index after the last item found in view

  // Which items are in view follows from the scroll position, since every item
  // has the same size: this costs no more than the items in view. (An
  // IntersectionObserver that watched every item cost seconds of the page's
  // time while thousands of them went in.)
  function updateView() {
    viewQueued = false;
    const items = thumbs.children;
    const view = [];
    const step = items.length > 0 ? items[0].offsetHeight : 0;
    if (step > 0) {
      const style = getComputedStyle(thumbs);
      const columns = Math.max(1, style.gridTemplateColumns.split(' ').length);
      const rowStep = step + (parseFloat(style.rowGap) || 0);
      const top = thumbs.scrollTop - VIEW_MARGIN - items[0].offsetTop;
      const bottom = thumbs.scrollTop + thumbs.clientHeight + VIEW_MARGIN - items[0].offsetTop;
      viewEnd = (Math.floor(bottom / rowStep) + 1) * columns;
      const end = Math.min(items.length, viewEnd);
      for (let i = Math.max(0, Math.floor(top / rowStep)) * columns; i < end; ++i) view.push(entryOf.get(items[i]));
    }
    const kept = new Set(view.map((entry) => entry.index));
    for (const index of asked) {
      if (kept.has(index)) continue;
      asked.delete(index);
      post({ type: 'unthumb', index });
    }
    inView = view;
    askThumbs();
  }

  function viewChanged() {
    if (viewQueued) return;
    viewQueued = true;
    requestAnimationFrame(updateView);
  }
  thumbs.addEventListener('scroll', viewChanged, { passive: true });
  window.addEventListener('resize', viewChanged);

  function itemOf(entry) {
    if (itemElements[entry.index] === undefined) {
      const item = document.createElement('button');
      item.type = 'button';
      item.className = 'thumb';
      item.dataset.name = entry.name;
      item.dataset.position = entry.position;
      item.dataset.state = 'pending';
      item.title = entry.name;
      const frame = document.createElement('span');
      frame.className = 'frame';
      const caption = document.createElement('span');
      caption.className = 'caption';
      caption.textContent = entry.name;
      item.append(frame, caption);
      if (entry === selected) item.classList.add('selected');
      entryOf.set(item, entry);
      itemElements[entry.index] = item;
    }
    return itemElements[entry.index];
  }

  function addKinds({ pictures, checked: count }) {
    for (const index of pictures) kinds[index] = KIND_PICTURE;
    checked = count;
    renderGallery();
  }

  // The pictures among the shown rows, in the rows' order. Items already in
  // place stay when the new ones only come after them.
  function renderGallery() {
    galleryOrder = shown.filter((entry) => kinds[entry.index] === KIND_PICTURE);
    const present = thumbs.children;
    let appendOnly = present.length <= galleryOrder.length;
    for (let i = 0; appendOnly && i < present.length; ++i) {
      appendOnly = present[i] === itemElements[galleryOrder[i].index];
    }
    if (!appendOnly) thumbs.replaceChildren();
    // Items that go in below the view change nothing in view.
    fill(thumbs, galleryOrder.length, thumbs.children.length, (i) => thumbs.appendChild(itemOf(galleryOrder[i])),
      (first) => {
        if (first <= viewEnd || inView.length === 0) viewChanged();
      });

    let pictureCount = 0;
    for (const kind of kinds) pictureCount += kind === KIND_PICTURE ? 1 : 0;
    const gallery = $('gallery');
    gallery.dataset.checked = checked;
    gallery.dataset.total = entries.length;
    const looking = checked < entries.length;
    gallery.hidden = !looking && pictureCount === 0;
    const count = (n) => n.toLocaleString('en') + (n === 1 ? ' picture' : ' pictures');
    $('gallery-status').textContent = (galleryOrder.length === pictureCount ? count(pictureCount)
      : galleryOrder.length.toLocaleString('en') + ' of ' + count(pictureCount) + ' shown') +
      (looking ? '; looking through the archive (' + Math.floor((100 * checked) / entries.length) + '%)\u2026' : '');
    $('download-pictures').disabled = !looking && pictureCount === 0;
  }

  function askThumbs() {
    for (const entry of inView) {
      if (asked.size >= THUMBS_ASKED) break;
      if (asked.has(entry.index) || itemElements[entry.index].dataset.state !== 'pending') continue;
      asked.add(entry.index);
      post({ type: 'thumb', index: entry.index, generation });
    }
  }

  function showThumb({ index, error, blob, width, height, pictureWidth, pictureHeight, bits }) {
    const item = itemElements[index];
    asked.delete(index);
    if (error) {
      item.dataset.state = 'error';
      item.dataset.error = error;
      item.title = error;
    } else {
      const url = URL.createObjectURL(blob);
      thumbUrls.push(url);
      const image = document.createElement('img');
      image.alt = '';
      image.width = width;
      image.height = height;
      image.src = url;
      item.firstChild.replaceChildren(image);
      item.dataset.state = 'ready';
      item.title = item.dataset.name + ': ' + pictureWidth + ' \u00d7 ' + pictureHeight + ', ' + bits +
        ' bits per pixel';
    }
    askThumbs();
  }

  thumbs.addEventListener('click', (event) => {
    const item = event.target.closest('.thumb');
    if (item) openEntry(entryOf.get(item));
  });

  // Left and right arrows step through the gallery's pictures, from the one
  // shown (or from the first or last), except where they move a text cursor.
  document.addEventListener('keydown', (event) => {
    const forward = event.key === 'ArrowRight';
    if ((!forward && event.key !== 'ArrowLeft') || event.altKey || event.ctrlKey || event.metaKey ||
        event.shiftKey || event.target.closest('input, textarea, select') ||
        $('archive').hidden || galleryOrder.length === 0) {
      return;
    }
    event.preventDefault();
    if (body.dataset.state === 'busy') return;
    const at = selected === null ? -1 : galleryOrder.indexOf(selected);
    const next = at < 0 ? (forward ? 0 : galleryOrder.length - 1) : at + (forward ? 1 : -1);
    if (next < 0 || next >= galleryOrder.length) return;
    const item = itemElements[galleryOrder[next].index];
    item.focus({ preventScroll: true });
    item.scrollIntoView({ block: 'nearest' });
    openEntry(galleryOrder[next]);
  });

  // --- start -----------------------------------------------------------------

  window.addEventListener('error', (event) => fail('the page failed: ' + event.message));
  window.addEventListener('unhandledrejection', (event) =>
    fail('the page failed: ' + (event.reason && event.reason.message || event.reason)));

  setState('idle');
  startWorker();
  const src = new URLSearchParams(location.search).get('src');
  if (src && worker !== null) openUrl(src);
})();
