// The page: opens a file (picker, drop or ?src=URL), hands it to the worker,
// and shows what comes back. Its state is on <body>: data-state is idle, busy,
// ready or error, data-error the message of the last failure.
(() => {
  'use strict';
  const $ = (id) => document.getElementById(id);
  const body = document.body;
  const canvas = $('canvas');
  const rows = $('entries').tBodies[0];
  let worker = null;
  let archiveName = '';
  let entries = [];
  let sortKey = 'position', sortAscending = true;
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
    $('picture').hidden = true;
    entries = [];
    busy('Opening ' + name + '\u2026');
    post({ type: 'open', name, bytes: buffer }, [buffer]);
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
        showPicture(message);
        setState('ready');
        break;
      case 'archive':
        showArchive(message);
        setState('ready');
        break;
      case 'entry':
        setState('ready');
        $('message').textContent = message.name + ' is not a Quorvanel CG picture; it can be downloaded.';
        break;
      case 'extracted':
        finishExtract(message);
        break;
      case 'error':
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
    entries = message.entries;
    $('archive-name').textContent = archiveName + ': ' + entries.length +
      (entries.length === 1 ? ' entry' : ' entries');
    $('download-all').disabled = entries.length === 0;
    $('archive').hidden = false;
    renderRows();
  }

  function renderRows() {
    const filter = $('filter').value.trim().toLowerCase();
    const shown = entries.filter((entry) => entry.name.toLowerCase().includes(filter));
    shown.sort((a, b) => {
      const x = a[sortKey], y = b[sortKey];
      const order = x < y ? -1 : x > y ? 1 : a.position - b.position;
      return sortAscending ? order : -order;
    });
    const fragment = document.createDocumentFragment();
    for (const entry of shown) {
      const row = document.createElement('tr');
      row.dataset.name = entry.name;
      row.dataset.size = entry.size;
      row.dataset.position = entry.position;
      const cells = [entry.name, entry.size.toLocaleString('en'), entry.position.toLocaleString('en')];
      cells.forEach((text, i) => {
        const cell = row.insertCell();
        cell.textContent = text;
        if (i > 0) cell.className = 'number';
      });
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = 'Download';
      button.className = 'download';
      row.insertCell().appendChild(button);
      button.addEventListener('click', (event) => {
        event.stopPropagation();
        if (body.dataset.state === 'busy') return;
        busy('Extracting ' + entry.name + '\u2026');
        post({ type: 'extract', purpose: 'save', entries: [entry] });
      });
      row.addEventListener('click', () => {
        if (body.dataset.state === 'busy') return;
        for (const other of rows.querySelectorAll('tr.selected')) other.classList.remove('selected');
        row.classList.add('selected');
        $('picture').hidden = true;
        busy('Opening ' + entry.name + '\u2026');
        post({ type: 'entry', entry });
      });
      fragment.appendChild(row);
    }
    rows.replaceChildren(fragment);
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

  async function finishExtract({ purpose, files }) {
    try {
      if (purpose === 'zip') {
        $('message').textContent = 'Packing the ZIP file\u2026';
        const stem = archiveName.replace(/\.[^.]*$/, '') || 'archive';
        download(await Zip.make(files), stem + '.zip');
      } else {
        for (const file of files) download(new Blob([file.data], { type: 'application/octet-stream' }), file.name);
      }
      setState('ready');
    } catch (error) {
      fail(archiveName + ': cannot make the ZIP file (' + error.message + ')');
    }
  }

  // --- start -----------------------------------------------------------------

  window.addEventListener('error', (event) => fail('the page failed: ' + event.message));
  window.addEventListener('unhandledrejection', (event) =>
    fail('the page failed: ' + (event.reason && event.reason.message || event.reason)));

  setState('idle');
  startWorker();
  const src = new URLSearchParams(location.search).get('src');
  if (src && worker !== null) openUrl(src);
})();
