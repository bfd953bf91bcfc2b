// The administration page: logs in, shows the WebDAV settings and the CalDAV
// and CardDAV switches to administrators and the calendars and address books
// to everybody. Every request goes to the host's /webapi endpoints; the host
// decides who may do what, the page only leaves out what an account could
// not use anyway.
'use strict';

(() => {
  const WEBDAV = 'KIVO.Core.FileServ.WebDAV';
  const CALDAV = 'KIVO.Core.FileServ.WebDAV.CalDAV';
  const CALENDAR = 'KIVO.Core.FileServ.WebDAV.CalDAV.Calendar';
  const CARDDAV = 'KIVO.Core.FileServ.WebDAV.CardDAV';
  const ADDRESS_BOOK = 'KIVO.Core.FileServ.WebDAV.CardDAV.AddressBook';
  const SHARE = 'KIVO.Core.FileServ.WebDAV.Share';

  const $ = (id) => document.getElementById(id);

  // The two kinds of collection the page lists, alike but for their API,
  // their words, the service that serves them (its member in the services'
  // answer, its URL prefix) and their panel's elements.
  const CALENDARS = {
    key: 'calendars', api: CALENDAR, nameKey: 'calendarname', noun: 'calendar',
    nouns: 'calendars', Noun: 'Calendar', a: 'a calendar', A: 'A calendar',
    contents: 'every event', service: 'caldav', label: 'CalDAV', closed: 'closed',
    el: {title: 'calendars-title', filter: 'filter', reload: 'reload', list: 'list-message',
      table: 'calendar-table', rows: 'calendar-rows', empty: 'empty-note', form: 'create-form',
      share: 'create-share', sub: 'create-sub', name: 'create-name', create: 'create-button',
      message: 'create-message'},
  };
  const ADDRESS_BOOKS = {
    key: 'addressbooks', api: ADDRESS_BOOK, nameKey: 'addressbookname', noun: 'address book',
    nouns: 'address books', Noun: 'Address book', a: 'an address book', A: 'An address book',
    contents: 'every contact', service: 'carddav', label: 'CardDAV',
    closed: 'addressbooks_closed',
    el: {title: 'books-title', filter: 'book-filter', reload: 'book-reload',
      list: 'book-list-message', table: 'book-table', rows: 'book-rows', empty: 'book-empty-note',
      form: 'book-create-form', share: 'book-create-share', sub: 'book-create-sub',
      name: 'book-create-name', create: 'book-create-button', message: 'book-create-message'},
  };
  const KINDS = [CALENDARS, ADDRESS_BOOKS];

  // ---- errors in words ------------------------------------------------------

  const SESSION_ENDED = 'Your session has ended; log in again.';
  const GENERIC = 'The request failed for an unexpected reason. Try again; if it keeps ' +
      'failing, the server\'s log tells more.';

  // Sentences for the host's refusals and the module's codes. A function gets
  // the context of the form the error came from: a list's forms name their
  // kind (ctx.kind, calendars when none), a switch its service (ctx.label).
  const kindOf = (ctx) => ctx.kind || CALENDARS;
  const MESSAGES = {
    network: 'The server cannot be reached. Check the connection and try again.',
    unreadable: 'The server gave an answer the page cannot read. Reload the page and try again.',
    100: 'The server could not finish the request. Try again; if it keeps failing, the ' +
        'server\'s log tells more.',
    101: 'The server did not understand the request. Reload the page and try again.',
    102: 'This server does not offer that function. Reload the page.',
    103: 'This server does not offer that function. Reload the page.',
    104: 'The request was not sent in the form the server needs. Reload the page and try again.',
    105: (ctx) => ({
      create: `Your account may not create ${kindOf(ctx).a} there: ${kindOf(ctx).a} in a ` +
          'home folder must lie in your own, and the sub-folder must not lead elsewhere. ' +
          'Choose your home folder or a shared folder you can write to.',
      webdav: 'Only administrators may change the WebDAV settings, and your account is not ' +
          'one. Log in as an administrator.',
      switch: `Only administrators may switch ${ctx.label} on or off, and your account is ` +
          'not one. Log in as an administrator.',
      edit: `Only administrators may rename or move ${kindOf(ctx).nouns}, and your account ` +
          'is not one.',
      delete: `Only administrators may delete ${kindOf(ctx).nouns}, and your account is not ` +
          'one.',
      accounts: 'Only administrators may manage other accounts, and your account is not one.',
      certificate: 'Only administrators may install a certificate, and your account is not one.',
    })[ctx.form] || 'Your account is not allowed to do this. Ask an administrator.',
    106: SESSION_ENDED,
    107: 'The request was too large for the server.',
    108: 'The server refused a request that seemed to come from another site. Open this page ' +
        'from the server\'s own address.',
    109: 'The server does not know this request. Reload the page.',
    110: 'Wrong account or password.',
    119: (ctx) => ctx.form === 'password' ?
        'Too many wrong passwords: after each one from here the server waits longer before ' +
            'the next try. Wait a little, then try again.' :
        'Too many login attempts: after failed logins from here the server waits longer ' +
            'before each new try. Wait a little, then try again.',
    120: 'The server does not answer to this address. Open the page by one of the ' +
        'server\'s own names.',
    121: 'The request was too large for the server. Reload the page and try again.',
    122: 'The request was not sent in the form the server needs. Reload the page and try again.',
    123: 'The server is busy. Try again in a moment.',
    124: 'The server refused the new password: it needs 8 to 256 characters, no control ' +
        'characters, and must not be the account’s name.',
    125: (ctx) => ctx.admin ? 'Your own password is not right, so nothing was changed.' :
        'The current password is not right, so nothing was changed.',
    126: 'The account guest has no password and no home: it serves anonymous WebDAV ' +
        'requests only.',
    127: 'This account is locked. Unlock it first (its Unlock button in Accounts).',
    128: 'This is a system account (uid below 1000 or group root): WebDAV and CalDAV never ' +
        'accept it, so the page sets nothing for it.',
    129: 'There is no such account any more. Reload the page.',
    140: 'That name cannot be an account: it must be a login name (lower-case letters, ' +
        'digits, “.”, “-”, “_”, a letter first) and not one the system or the services use.',
    141: 'An account of that name exists already. Choose another name.',
    142: 'You cannot lock or remove your own account. Ask another administrator.',
    143: 'This is the last administrator who can log in: make or unlock another ' +
        'administrator first.',
    150: (ctx) => CERTIFICATE_REFUSALS[ctx.reason] || GENERIC,
    // The module checks the HTTP port first and stops at its first
    // conflict; the other variant's stored port counts as taken.
    1701: (ctx) => {
      const ports = ctx.ports || [];
      const clash = ports.find((p, i) => p.port === p.otherStored && (i === 0 || ports.length === 1));
      if (clash) {
        return `Port ${clash.port} is the ${clash.other} port now; ${clash.name} needs a port ` +
            `of its own. To swap the two, first move one of them to a free port.`;
      }
      return ports.length ?
          ports.map((p) => `Port ${p.port} (${p.name})`).join(' or ') +
              ' is used by another service. Choose another port.' :
          'A port is used by another service. Choose another port.';
    },
    1702: (ctx) => ctx.form === 'create' ?
        `${kindOf(ctx).A} with that name already exists there. Choose another name or ` +
            'sub-folder.' :
        'A folder with that name already exists at the new place. Choose another name.',
    1703: (ctx) => `The sub-folder that should hold the ${kindOf(ctx).noun} does not exist. ` +
        'Create it first or choose another one.',
    1704: (ctx) => ({
      webdav: 'The settings could not be applied. Try again; if it keeps failing, the server\'s ' +
          'log tells more.',
      switch: `The ${ctx.label} setting could not be saved. Try again.`,
      create: `The ${kindOf(ctx).noun} could not be created. Check that you may write in ` +
          'that folder.',
      edit: `The ${kindOf(ctx).noun} could not be changed. Reload the list and try again.`,
      delete: `The ${kindOf(ctx).noun} could not be deleted completely. Reload the list to ` +
          'see what is left.',
    })[ctx.form] || 'The operation failed on the server. Try again.',
    1705: (ctx) => ({
      webdav: 'The server did not accept these settings. Ports must be whole numbers from 1 ' +
          'to 65535.',
      create: `That place cannot hold ${kindOf(ctx).a}: the sub-folder must already exist ` +
          'inside the shared folder, and the name must be an ordinary folder name.',
      edit: `That ${kindOf(ctx).noun} or its new place is not valid. Reload the list and try ` +
          'again.',
    })[ctx.form] || 'The server did not accept the request. Reload the page and try again.',
    1706: (ctx) => `The volume that would hold the ${kindOf(ctx).noun} is read-only.`,
    1741: 'That share is gone. Reload the list.',
    1742: 'Home folders stay private to their owners: the homes share takes no names.',
    1743: 'A name on the lists is not an account or group name.',
    1744: 'An account on the lists no longer exists. Reload the list.',
    1745: 'A group on the lists no longer exists. Reload the list.',
    1746: 'A list may hold at most 256 names: name a group instead.',
  };

  function messageFor(code, ctx = {}) {
    const entry = MESSAGES[code];
    if (typeof entry === 'function') return entry(ctx);
    return entry || GENERIC;
  }

  class RequestError extends Error {
    constructor(code) {
      super(`request failed: ${code}`);
      this.code = code;
    }
  }

  // ---- talking to the host --------------------------------------------------

  async function send(method, path, body) {
    const init = {method, credentials: 'same-origin', cache: 'no-store', headers: {}};
    if (method !== 'GET') {
      // The host refuses state-changing requests that are not JSON.
      init.headers['Content-Type'] = 'application/json';
      if (body !== undefined) init.body = JSON.stringify(body);
    }
    let response;
    try {
      response = await fetch(path, init);
    } catch (e) {
      throw new RequestError('network');
    }
    let answer;
    try {
      answer = await response.json();
    } catch (e) {
      throw new RequestError('unreadable');
    }
    if (!answer || answer.success !== true) {
      const code = answer && answer.error && answer.error.code;
      throw new RequestError(Number.isInteger(code) ? code : 'unreadable');
    }
    return answer.data;
  }

  const call = (api, method, params = {}) =>
    send('POST', '/webapi/entry', {api, version: 1, method, params});

  // ---- small helpers --------------------------------------------------------

  function say(el, text, kind = '') {
    el.textContent = text;
    el.className = 'status' + (kind ? ' ' + kind : '');
  }

  // Runs `work` with its button disabled and a progress note shown; the
  // outcome is said in `status`. A session that ended sends the user back to
  // the login form, where the message is shown.
  async function withProgress(button, status, progressText, ctx, work) {
    button.disabled = true;
    button.classList.add('busy');
    button.setAttribute('aria-busy', 'true');
    say(status, progressText, 'progress');
    try {
      const done = await work();
      say(status, done || '', done ? 'ok' : '');
      return true;
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      ctx.failed = e.code;
      if (e.code === 106) {
        say(status, '');
        sessionEnded();
      } else {
        say(status, messageFor(e.code, ctx), 'error');
      }
      return false;
    } finally {
      button.disabled = false;
      button.classList.remove('busy');
      button.removeAttribute('aria-busy');
    }
  }

  // ---- state ----------------------------------------------------------------

  const state = {
    account: '',
    isAdmin: false,
    shares: [],        // [{share, destination, path}] the account may use
    // Each kind's list as the module answered it, and how it is sorted.
    lists: Object.fromEntries(KINDS.map((k) => [k.key,
      {items: [], sortKey: k.nameKey, sortUp: true}])),
    webdav: null,      // the stored WebDAV settings
    switches: {},      // the stored CalDAV and CardDAV switches, by key
    services: null,    // where the services are (GET /webapi/services)
    editing: null,     // the kind, item and mode the open dialog works on
    accounts: [],      // GET /webapi/accounts, for administrators
    passwordFor: '',   // the account the password dialog sets
    removing: null,    // the account the removal dialog removes
    shareAccess: [],   // the Share API's list: each share and its two lists
    shareChoices: [],  // "@group" and account names the lists may take
    shareEdited: '',   // the share the access dialog works on
  };

  // ---- views ----------------------------------------------------------------

  function showLogin(message, kind) {
    $('starting').hidden = true;
    $('app-view').hidden = true;
    $('who').hidden = true;
    $('login-view').hidden = false;
    for (const d of [$('edit-dialog'), $('delete-dialog'), $('setpw-dialog'),
      $('rmacct-dialog')]) {
      if (d.open) d.close();
    }
    // Nothing of the last account stays in the page for the next one.
    for (const k of KINDS) {
      state.lists[k.key].items = [];
      $(k.el.rows).textContent = '';
      say($(k.el.list), '');
      say($(k.el.message), '');
    }
    state.webdav = null;
    state.services = null;
    state.accounts = [];
    $('service-rows').textContent = '';
    $('account-rows').textContent = '';
    $('refused-list').textContent = '';
    $('folder-list').textContent = '';
    for (const id of ['webdav-message', 'caldav-message', 'carddav-message', 'services-message',
      'accounts-message', 'password-message']) {
      say($(id), '');
    }
    for (const id of ['current-password', 'new-password', 'new-password-again']) $(id).value = '';
    say($('login-message'), message || '', kind);
    $('password').value = '';
    (message && $('account').value ? $('password') : $('account')).focus();
  }

  function sessionEnded() {
    showLogin(SESSION_ENDED, 'error');
  }

  async function showApp(who) {
    state.account = who.account;
    state.isAdmin = who.is_admin === true;
    state.shares = Array.isArray(who.shares) ? who.shares : [];
    $('starting').hidden = true;
    $('login-view').hidden = true;
    $('app-view').hidden = false;
    $('who').hidden = false;
    $('who-name').textContent = `${who.account}${state.isAdmin ? ' (administrator)' : ''}`;
    $('webdav-panel').hidden = !state.isAdmin;
    $('caldav-panel').hidden = !state.isAdmin;
    $('carddav-panel').hidden = !state.isAdmin;
    $('actions-head').hidden = !state.isAdmin;
    $('book-actions-head').hidden = !state.isAdmin;
    $('accounts-panel').hidden = !state.isAdmin;
    $('shares-panel').hidden = !state.isAdmin;
    for (const kind of KINDS) fillShareChoices($(kind.el.share));
    fillShareChoices($('edit-share'));
    const loads = [loadServices().then(loadLists)];
    if (state.isAdmin) {
      loads.push(loadWebDAV(), ...SWITCHES.map(loadSwitch), loadAccounts(), loadShareAccess());
    }
    loads.push(loadCertificate());
    await Promise.all(loads);
  }

  // The session probe answers "not logged in" as a success, so that a first
  // visit shows no error anywhere.
  async function start() {
    try {
      const session = await send('GET', '/webapi/session');
      if (!session || session.logged_in !== true) return showLogin('');
      await showApp(await send('GET', '/webapi/shares'));
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      showLogin(e.code === 106 ? '' : messageFor(e.code), e.code === 106 ? '' : 'error');
    }
  }

  // ---- where the services are -----------------------------------------------

  // The address a client uses for a variant, on the host this page came from.
  function serviceUrl(variant, path = '/') {
    const v = state.services && state.services.webdav[variant];
    return v ? `${variant}://${location.hostname}:${v.port}${path}` : '';
  }

  // The variant a CalDAV client should use: HTTPS when it runs, else HTTP;
  // '' when neither runs.
  function caldavVariant() {
    const webdav = state.services && state.services.webdav;
    if (!webdav) return '';
    return webdav.https.running ? 'https' : webdav.http.running ? 'http' : '';
  }

  const segment = (text) => encodeURIComponent(text);

  // The account's address for a kind's service (/caldav/ or /carddav/).
  function accountUrl(kind) {
    const variant = caldavVariant();
    return variant ? serviceUrl(variant, `/${kind.service}/${segment(state.account)}/`) : '';
  }

  // A calendar's or address book's address, once its service has named it.
  function itemUrl(kind, item) {
    const names = (state.services && state.services[kind.key]) || {};
    const name = names[item.id];
    const account = accountUrl(kind);
    return name && account && (state.services[kind.service] || {}).running ?
        `${account}${segment(name)}/` : '';
  }

  async function copyText(text, what, status, button) {
    let copied = false;
    try {
      await navigator.clipboard.writeText(text);
      copied = true;
    } catch (e) {
      // Plain HTTP from another host has no clipboard API: copy the way
      // older pages do, through a selected field.
      const field = document.createElement('textarea');
      field.value = text;
      field.setAttribute('readonly', '');
      field.className = 'offscreen';
      document.body.append(field);
      field.select();
      try {
        copied = document.execCommand('copy');
      } catch (ignored) {
        copied = false;
      }
      field.remove();
    }
    say(status, copied ? `Copied the ${what}: ${text}` :
        `The browser did not let the page copy. Select the ${what} and copy it: ${text}`,
    copied ? 'ok' : 'error');
    if (copied) showCopied(button, what);
    else selectAddress(button.parentElement.querySelector('code, a'));
  }

  // The button says "Copied" for a moment; the status region beside the
  // list says it to screen readers, which do not read a button's new text.
  const COPIED_MILLIS = 2000;

  function showCopied(button, what) {
    clearTimeout(button.copiedTimer);
    button.textContent = 'Copied';
    button.setAttribute('aria-label', `Copied the ${what}`);
    button.copiedTimer = setTimeout(() => {
      button.textContent = 'Copy';
      button.setAttribute('aria-label', `Copy the ${what}`);
    }, COPIED_MILLIS);
  }

  // Without any clipboard the address is left selected for the user's own
  // copy keys.
  function selectAddress(el) {
    if (!el) return;
    const range = document.createRange();
    range.selectNodeContents(el);
    const selection = window.getSelection();
    selection.removeAllRanges();
    selection.addRange(range);
  }

  // An address may wrap only after a separator: the parts between never
  // break (a hyphen in a calendar's name is no place to cut), and a <wbr>
  // after each separator offers the break. The text stays the address, for
  // selecting and copying by hand.
  function fillAddress(el, url) {
    el.textContent = '';
    for (const part of url.match(/[^/.:]*[/.:]|[^/.:]+$/g) || []) {
      const piece = document.createElement('span');
      piece.className = 'address-part';
      piece.textContent = part;
      el.append(piece, document.createElement('wbr'));
    }
  }

  function copyButton(url, what, status) {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'small secondary copy';
    button.textContent = 'Copy';
    button.setAttribute('aria-label', `Copy the ${what}`);
    button.addEventListener('click', () => copyText(url, what, status, button));
    return button;
  }

  // The address as selectable text with a copy button beside it.
  function addressBlock(url, what, status) {
    const block = document.createElement('div');
    block.className = 'address';
    const code = document.createElement('code');
    fillAddress(code, url);
    block.append(code, copyButton(url, what, status));
    return block;
  }

  function serviceRow(label, stateText, ok, port, url, what, note) {
    const tr = document.createElement('tr');
    const th = document.createElement('th');
    th.scope = 'row';
    th.textContent = label;
    const stateCell = cell('', 'State');
    const badge = document.createElement('span');
    badge.className = `badge badge-${ok ? 'ok' : 'off'}`;
    badge.textContent = stateText;
    stateCell.append(badge);
    const addressCell = cell('', 'Address for clients');
    if (url) {
      addressCell.append(addressBlock(url, what, $('services-message')));
    } else {
      addressCell.textContent = note;
      addressCell.classList.add('note');
    }
    tr.append(th, stateCell, cell(port ? String(port) : '–', 'Port'), addressCell);
    return tr;
  }

  function variantState(v) {
    if (v.running) return ['Running', true];
    return [v.enabled ? 'Enabled, not running' : 'Off', false];
  }

  function renderServices() {
    const body = $('service-rows');
    body.textContent = '';
    const services = state.services;
    if (!services) return;
    for (const [variant, label] of [['http', 'WebDAV over HTTP'], ['https', 'WebDAV over HTTPS']]) {
      const v = services.webdav[variant];
      const [text, ok] = variantState(v);
      body.append(serviceRow(label, text, ok, v.port, v.running ? serviceUrl(variant) : '',
          `${label} address`, v.enabled ? 'Not reachable while the daemon is down.' :
              'Switched off.'));
    }
    const variant = caldavVariant();
    for (const kind of KINDS) {
      const service = services[kind.service] || {};
      const text = service.running ? 'Running' :
          service.enabled ? 'On, but WebDAV does not run' : 'Off';
      const note = !service.enabled ? 'Switched off.' :
          'Served through WebDAV: it needs WebDAV over HTTP or HTTPS running.';
      body.append(serviceRow(`${kind.label}, your ${kind.nouns}`, text, service.running === true,
          service.running && variant ? services.webdav[variant].port : 0,
          service.running ? accountUrl(kind) : '', `${kind.label} address of your account`,
          note));
    }
  }

  // The folders the account reaches over WebDAV, as a browser or a file
  // manager opens them: its home and the shares it may write into (every
  // share for an administrator).
  function renderFolders() {
    const list = $('folder-list');
    list.textContent = '';
    const variant = caldavVariant();
    $('folders').hidden = !variant || state.shares.length === 0;
    if (!variant) return;
    for (const choice of state.shares) {
      const home = choice.share === 'home';
      const url = serviceUrl(variant, home ? `/homes/${segment(state.account)}/` :
          `/${segment(choice.share)}/`);
      const item = document.createElement('li');
      const label = document.createElement('span');
      label.textContent = home ? 'Your home folder: ' : `${choice.share}: `;
      const block = document.createElement('span');
      block.className = 'address';
      const link = document.createElement('a');
      link.href = url;
      fillAddress(link, url);
      link.rel = 'noopener';
      link.target = '_blank';
      block.append(link, copyButton(url, home ? 'address of your home folder' :
          `address of ${choice.share}`, $('services-message')));
      item.append(label, block);
      list.append(item);
    }
  }

  async function loadServices() {
    try {
      state.services = await send('GET', '/webapi/services');
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      if (e.code === 106) return sessionEnded();
      state.services = null;
      say($('services-message'), 'Where the services run cannot be shown: ' +
          messageFor(e.code), 'error');
    }
    renderServices();
    renderFolders();
    for (const kind of KINDS) {
      if (state.lists[kind.key].items.length) renderList(kind);
    }
  }

  // ---- login and logout -----------------------------------------------------

  async function onLogin(event) {
    event.preventDefault();
    const account = $('account').value.trim();
    const password = $('password').value;
    const message = $('login-message');
    if (!account || !password) {
      say(message, 'Enter your account and your password.', 'error');
      (account ? $('password') : $('account')).focus();
      return;
    }
    let who = null;
    // After failed logins the server takes its time to answer; say so
    // rather than leave the user wondering.
    const slow = setTimeout(() => say(message, 'Still checking: after failed logins the ' +
        'server answers more slowly. Please wait…', 'progress'), 2500);
    await withProgress($('login-button'), message, 'Checking your password…', {form: 'login'},
        async () => {
          try {
            await send('POST', '/webapi/auth', {account, password});
          } finally {
            clearTimeout(slow);
          }
          who = await send('GET', '/webapi/shares');
          return '';
        });
    if (who) {
      $('password').value = '';
      await showApp(who);
      $('calendars-title').focus();
    } else {
      $('password').focus();
    }
  }

  async function onLogout() {
    const button = $('logout');
    button.disabled = true;
    let said = ['You are logged out.', 'ok'];
    try {
      await send('DELETE', '/webapi/auth');
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      // An ended session (106) is logged out already; anything else may
      // have left it open on the server.
      if (e.code !== 106) {
        said = [messageFor(e.code) + ' Your session may still be open until it times out.',
          'error'];
      }
    } finally {
      button.disabled = false;
    }
    state.account = '';
    showLogin(...said);
  }

  // ---- WebDAV settings ------------------------------------------------------

  const WEBDAV_SWITCHES = [
    ['enable_http', 'enable-http'],
    ['enable_https', 'enable-https'],
    ['anonymouslogin_enable', 'anonymous'],
    ['depth_infinity_enable', 'depth-infinity'],
  ];
  const WEBDAV_PORTS = [
    ['http_port_num', 'http-port', 'HTTP'],
    ['https_port_num', 'https-port', 'HTTPS'],
  ];

  function showWebDAV(stored) {
    state.webdav = stored;
    for (const [key, id] of WEBDAV_SWITCHES) $(id).checked = stored[key] === true;
    for (const [key, id] of WEBDAV_PORTS) {
      $(id).value = String(stored[key]);
      $(id).removeAttribute('aria-invalid');
    }
  }

  async function loadWebDAV() {
    try {
      showWebDAV(await call(WEBDAV, 'get'));
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      if (e.code === 106) return sessionEnded();
      say($('webdav-message'), messageFor(e.code, {form: 'webdav'}), 'error');
    }
  }

  // The port typed in `id`, or null when it is not a whole number 1-65535.
  function portOf(id) {
    const text = $(id).value.trim();
    if (!/^[0-9]{1,5}$/.test(text)) return null;
    const port = Number(text);
    return port >= 1 && port <= 65535 ? port : null;
  }

  async function onSaveWebDAV(event) {
    event.preventDefault();
    const message = $('webdav-message');
    const stored = state.webdav;
    if (!stored) return loadWebDAV();
    // Every set carries all four switches as the form shows them: the
    // module needs both enable switches each time, and when either behaviour
    // switch is given it sets both, a missing one as off. A port goes only
    // when it changed: a stored one missing from the configuration would
    // otherwise count as new and be checked again.
    const params = {};
    let changed = false;
    for (const [key, id] of WEBDAV_SWITCHES) {
      params[key] = $(id).checked;
      if (params[key] !== (stored[key] === true)) changed = true;
    }
    const changedPorts = [];
    if (portOf('http-port') !== null && portOf('http-port') === portOf('https-port')) {
      $('https-port').setAttribute('aria-invalid', 'true');
      say(message, 'HTTP and HTTPS need two different ports.', 'error');
      $('https-port').focus();
      return;
    }
    for (const [key, id, name] of WEBDAV_PORTS) {
      const port = portOf(id);
      if (port === null) {
        $(id).setAttribute('aria-invalid', 'true');
        say(message, `The ${name} port must be a whole number from 1 to 65535.`, 'error');
        $(id).focus();
        return;
      }
      $(id).removeAttribute('aria-invalid');
      if (port !== stored[key]) {
        params[key] = port;
        const other = name === 'HTTP' ? ['HTTPS', stored.https_port_num] :
            ['HTTP', stored.http_port_num];
        changedPorts.push({port, name, other: other[0], otherStored: other[1]});
        changed = true;
      }
    }
    if (!changed) {
      say(message, 'Nothing to save: no setting was changed.');
      return;
    }
    const ctx = {form: 'webdav', ports: changedPorts};
    await withProgress($('webdav-save'), message, 'Applying the settings…', ctx, async () => {
      await call(WEBDAV, 'set', params);
      showWebDAV(await call(WEBDAV, 'get'));
      return 'Saved. The form shows the settings now in force.';
    });
    await loadServices();
    if (ctx.failed === 1701) {
      const ids = changedPorts.map((p) => p.name === 'HTTP' ? 'http-port' : 'https-port');
      for (const id of ids) $(id).setAttribute('aria-invalid', 'true');
      if (ids.length) $(ids[0]).focus();
    }
  }

  // ---- CalDAV and CardDAV switches ------------------------------------------

  // Each switch is one API's get and set, with its form's elements named
  // after its key.
  const SWITCHES = [
    {api: CALDAV, key: 'caldav', label: 'CalDAV'},
    {api: CARDDAV, key: 'carddav', label: 'CardDAV'},
  ];

  async function loadSwitch(sw) {
    try {
      const stored = await call(sw.api, 'get');
      state.switches[sw.key] = stored.enable === true;
      $(`${sw.key}-enable`).checked = state.switches[sw.key];
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      if (e.code === 106) return sessionEnded();
      say($(`${sw.key}-message`), messageFor(e.code, {form: 'switch', label: sw.label}), 'error');
    }
  }

  async function onSaveSwitch(event, sw) {
    event.preventDefault();
    const message = $(`${sw.key}-message`);
    const enable = $(`${sw.key}-enable`).checked;
    if (enable === state.switches[sw.key]) {
      say(message, 'Nothing to save: the setting was not changed.');
      return;
    }
    await withProgress($(`${sw.key}-save`), message, 'Saving…',
        {form: 'switch', label: sw.label}, async () => {
          await call(sw.api, 'set', {enable});
          const stored = await call(sw.api, 'get');
          state.switches[sw.key] = stored.enable === true;
          $(`${sw.key}-enable`).checked = state.switches[sw.key];
          return `Saved: ${sw.label} is ${state.switches[sw.key] ? 'on' : 'off'}.`;
        });
    await loadServices();
  }

  // ---- calendars and address books ------------------------------------------

  // One word per state, and every other cell of the row says nothing that
  // belongs to another state: a collection without its folder or its data
  // has no address to offer, whatever its service does.
  const STATUS = {
    normal: {text: 'Normal', mark: '', note: '', address: ''},
    crashed: {text: 'Damaged', mark: '⚠', note: (kind) => `Its ${kind.noun} data is damaged ` +
        'or incomplete.', address: 'No address while its data is damaged.'},
    noexist: {text: 'Missing', mark: '✖', note: 'Its folder is missing from the volume.',
      address: 'No address while its folder is missing.'},
  };

  function statusOf(item) {
    return STATUS[item.status] || {text: 'Unknown', mark: '?',
      note: 'The server reported no known state.', address: 'No address in an unknown state.'};
  }

  function shareLabel(choice) {
    return choice.share === 'home' ? 'Your home folder' : choice.share;
  }

  function fillShareChoices(select) {
    select.textContent = '';
    for (const [index, choice] of state.shares.entries()) {
      const option = document.createElement('option');
      option.value = String(index);
      option.textContent = shareLabel(choice);
      select.append(option);
    }
    select.disabled = state.shares.length === 0;
  }

  // A sub-folder as typed, cleaned of outer slashes; null when it could name
  // a place outside the share.
  function subFolderOf(text) {
    const sub = text.trim().replace(/^\/+|\/+$/g, '');
    if (sub === '') return '';
    const parts = sub.split('/');
    if (parts.some((p) => p === '' || p === '.' || p === '..')) return null;
    return sub;
  }

  function nameProblem(kind, name) {
    if (!name) return `Enter a name for the ${kind.noun}.`;
    if (name.includes('/') || name === '.' || name === '..') {
      return `${kind.A} name cannot contain “/” and cannot be “.” or “..”.`;
    }
    return '';
  }

  function compare(kind, a, b) {
    const {sortKey: key, sortUp} = state.lists[kind.key];
    const x = key === 'status' ? statusOf(a).text : String(a[key] || '');
    const y = key === 'status' ? statusOf(b).text : String(b[key] || '');
    const order = x.localeCompare(y, undefined, {sensitivity: 'base', numeric: true});
    return sortUp ? order : -order;
  }

  function renderList(kind) {
    const {el} = kind;
    const list = state.lists[kind.key];
    const filter = $(el.filter).value.trim().toLowerCase();
    const rows = list.items.filter((c) => !filter ||
        [c[kind.nameKey], c.destination, statusOf(c).text, c.status]
            .some((v) => String(v || '').toLowerCase().includes(filter)));
    rows.sort((a, b) => compare(kind, a, b));
    const body = $(el.rows);
    body.textContent = '';
    for (const item of rows) body.append(itemRow(kind, item));
    const note = $(el.empty);
    note.hidden = rows.length !== 0;
    note.textContent = list.items.length === 0 ? `There are no ${kind.nouns} yet.` :
        `No ${kind.noun} matches the filter.`;
    for (const th of $(el.table).querySelectorAll('th[data-key]')) {
      th.setAttribute('aria-sort', th.dataset.key !== list.sortKey ? 'none' :
          list.sortUp ? 'ascending' : 'descending');
    }
  }

  // `label` names the column where a phone shows each row as a card.
  function cell(text, label) {
    const td = document.createElement('td');
    td.textContent = text;
    td.dataset.label = label;
    return td;
  }

  function itemRow(kind, item) {
    const itemName = item[kind.nameKey];
    const tr = document.createElement('tr');
    tr.dataset.id = item.id;
    tr.dataset.status = item.status;
    const name = document.createElement('th');
    name.scope = 'row';
    name.textContent = itemName;
    tr.append(name, cell(item.destination, 'Location'));
    const status = statusOf(item);
    const statusCell = cell('', 'Status');
    const badge = document.createElement('span');
    badge.className = `badge badge-${item.status === 'normal' ? 'ok' : 'bad'}`;
    badge.textContent = (status.mark ? status.mark + ' ' : '') + status.text;
    statusCell.append(badge);
    const statusNote = typeof status.note === 'function' ? status.note(kind) : status.note;
    if (statusNote) {
      const note = document.createElement('span');
      note.className = 'note';
      note.textContent = ' ' + statusNote;
      statusCell.append(note);
    }
    tr.append(statusCell);
    const url = status.address ? '' : itemUrl(kind, item);
    const addressCell = cell('', 'Address for clients');
    if (status.address) {
      addressCell.classList.add('note');
      addressCell.textContent = status.address;
    } else if (url) {
      addressCell.append(addressBlock(url, `address of ${itemName}`, $(kind.el.list)));
    } else {
      addressCell.classList.add('note');
      const services = state.services;
      const closed = services && Array.isArray(services[kind.closed]) &&
          services[kind.closed].includes(item.id);
      addressCell.textContent = !services || !(services[kind.service] || {}).running ?
          `Shown while ${kind.label} runs.` : closed ?
          `Not in your ${kind.label} account: your account may not open its folder.` :
          `In your ${kind.label} account once a client has opened it.`;
    }
    tr.append(addressCell);
    if (state.isAdmin) {
      const actions = document.createElement('div');
      actions.className = 'row-actions';
      const actionsCell = document.createElement('td');
      actionsCell.append(actions);
      actions.append(
          rowButton('Rename', itemName, () => openEdit(kind, item, 'rename')),
          rowButton('Move', itemName, () => openEdit(kind, item, 'move')),
          rowButton('Delete', itemName, () => openDelete(kind, item), 'danger'));
      tr.append(actionsCell);
    }
    return tr;
  }

  function rowButton(text, itemName, onClick, kind = 'secondary') {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = `small ${kind}`;
    button.textContent = text;
    button.setAttribute('aria-label', `${text} ${itemName}`);
    button.addEventListener('click', onClick);
    return button;
  }

  async function loadList(kind) {
    const ok = await withProgress($(kind.el.reload), $(kind.el.list),
        `Loading the ${kind.nouns}…`, {form: 'list', kind}, async () => {
          const data = await call(kind.api, 'list');
          state.lists[kind.key].items = Array.isArray(data && data.item) ? data.item : [];
          renderList(kind);
          return '';
        });
    return ok;
  }

  const loadLists = () => Promise.all(KINDS.map(loadList));

  function onSort(event, kind) {
    const th = event.target.closest('th[data-key]');
    if (!th) return;
    const list = state.lists[kind.key];
    if (list.sortKey === th.dataset.key) {
      list.sortUp = !list.sortUp;
    } else {
      list.sortKey = th.dataset.key;
      list.sortUp = true;
    }
    renderList(kind);
  }

  // destination and fullpath of a place: a share choice and a sub-folder.
  function placeOf(choice, sub) {
    return {
      share: choice.share,
      destination: sub ? `${choice.destination}/${sub}` : choice.destination,
      fullpath: sub ? `${choice.path}/${sub}` : choice.path,
    };
  }

  async function onCreate(event, kind) {
    event.preventDefault();
    const {el} = kind;
    const message = $(el.message);
    const choice = state.shares[Number($(el.share).value)];
    const sub = subFolderOf($(el.sub).value);
    const name = $(el.name).value.trim();
    if (!choice) {
      say(message, `There is no shared folder you may create ${kind.a} in.`, 'error');
      return;
    }
    if (sub === null) {
      say(message, 'The sub-folder must be a path inside the shared folder, without “..”.',
          'error');
      $(el.sub).focus();
      return;
    }
    const problem = nameProblem(kind, name);
    if (problem) {
      say(message, problem, 'error');
      $(el.name).focus();
      return;
    }
    const place = placeOf(choice, sub);
    const ok = await withProgress($(el.create), message, `Creating the ${kind.noun}…`,
        {form: 'create', kind}, async () => {
          await call(kind.api, 'create', {...place, [kind.nameKey]: name});
          return `${kind.Noun} “${name}” created.`;
        });
    if (ok) {
      $(el.name).value = '';
      await loadList(kind);
    }
  }

  // ---- rename and move ------------------------------------------------------

  // The share choice and sub-folder that a registered collection lies in, as
  // far as the choices can name it.
  function placeOfItem(item) {
    const destination = String(item.destination || '');
    const slash = destination.indexOf('/');
    const sub = slash < 0 ? '' : destination.slice(slash + 1);
    const index = state.shares.findIndex((c) => c.share === item.share);
    return {index, sub};
  }

  function openEdit(kind, item, mode) {
    state.editing = {kind, item, mode};
    const rename = mode === 'rename';
    $('edit-title').textContent = `${rename ? 'Rename' : 'Move'} ${kind.noun}`;
    $('edit-button').textContent = rename ? 'Rename' : 'Move';
    $('edit-what').textContent = `“${item[kind.nameKey]}” in ${item.destination}`;
    $('edit-name-field').hidden = !rename;
    $('edit-place-fields').hidden = rename;
    $('edit-name').value = item[kind.nameKey];
    const place = placeOfItem(item);
    $('edit-share').value = String(place.index >= 0 ? place.index : 0);
    $('edit-sub').value = place.sub;
    say($('edit-message'), '');
    $('edit-dialog').showModal();
    (rename ? $('edit-name') : $('edit-share')).focus();
  }

  async function onEdit(event) {
    event.preventDefault();
    const {kind, item, mode} = state.editing;
    const message = $('edit-message');
    const name = $('edit-name').value.trim();
    const problem = nameProblem(kind, name);
    if (problem) {
      say(message, problem, 'error');
      return;
    }
    let place;
    if (mode === 'rename') {
      // Same share and destination: the module finds the folder from them.
      place = {share: item.share, destination: item.destination, fullpath: ''};
    } else {
      const choice = state.shares[Number($('edit-share').value)];
      const sub = subFolderOf($('edit-sub').value);
      if (!choice || sub === null) {
        say(message, 'The sub-folder must be a path inside the shared folder, without “..”.',
            'error');
        return;
      }
      place = placeOf(choice, sub);
    }
    const ok = await withProgress($('edit-button'), message,
        mode === 'rename' ? 'Renaming…' : 'Moving…', {form: 'edit', kind}, async () => {
          await call(kind.api, 'set', {id: item.id, ...place, [kind.nameKey]: name});
          return '';
        });
    if (ok) {
      $('edit-dialog').close();
      say($(kind.el.list), mode === 'rename' ?
          `${kind.Noun} “${item[kind.nameKey]}” renamed to “${name}”.` :
          `${kind.Noun} “${name}” moved.`, 'ok');
      await refreshAfterChange(kind);
    }
  }

  // ---- delete ---------------------------------------------------------------

  function openDelete(kind, item) {
    state.editing = {kind, item, mode: 'delete'};
    $('delete-title').textContent = `Delete ${kind.noun}?`;
    $('delete-what').textContent = `The ${kind.noun} “${item[kind.nameKey]}” in ` +
        `${item.destination} will be removed, with its folder and ${kind.contents} in it. ` +
        'This cannot be undone.';
    say($('delete-message'), '');
    $('delete-dialog').showModal();
    $('delete-cancel').focus();
  }

  async function onDelete(event) {
    event.preventDefault();
    const {kind, item} = state.editing;
    const ok = await withProgress($('delete-button'), $('delete-message'), 'Deleting…',
        {form: 'delete', kind}, async () => {
          await call(kind.api, 'delete', {id: [item.id]});
          return '';
        });
    if (ok) {
      $('delete-dialog').close();
      say($(kind.el.list), `${kind.Noun} “${item[kind.nameKey]}” deleted.`, 'ok');
      await refreshAfterChange(kind);
    }
  }

  // Reloads the list but keeps the message that said what just happened.
  async function refreshAfterChange(kind) {
    const said = $(kind.el.list).textContent;
    if (await loadList(kind)) say($(kind.el.list), said, 'ok');
    $(kind.el.title).focus();
  }

  // ---- passwords ------------------------------------------------------------

  // What is wrong with a new password typed twice, in words; '' when the
  // server's rules hold (it checks them again).
  function newPasswordProblem(password, again, account) {
    const chars = [...password].length;
    if (chars < 8) return 'The new password needs at least 8 characters.';
    if (chars > 256) return 'The new password may have at most 256 characters.';
    // eslint-disable-next-line no-control-regex
    if (/[\u0000-\u001f\u007f]/.test(password)) {
      return 'The new password may not hold control characters (such as a tab).';
    }
    if (password === account) return 'The new password may not be the account’s name.';
    if (password !== again) return 'The two new passwords differ. Type the same one twice.';
    return '';
  }

  async function onChangePassword(event) {
    event.preventDefault();
    const message = $('password-message');
    const current = $('current-password').value;
    const password = $('new-password').value;
    if (!current) {
      say(message, 'Enter your current password.', 'error');
      $('current-password').focus();
      return;
    }
    const problem = newPasswordProblem(password, $('new-password-again').value, state.account);
    if (problem) {
      say(message, problem, 'error');
      $(password && [...password].length >= 8 ? 'new-password-again' : 'new-password').focus();
      return;
    }
    const ctx = {form: 'password'};
    const ok = await withProgress($('password-button'), message, 'Changing your password…', ctx,
        async () => {
          const done = await send('POST', '/webapi/password', {old_password: current, password});
          const ended = done && done.sessions_ended > 0 ?
              ` ${done.sessions_ended} other session${done.sessions_ended === 1 ? '' : 's'} ` +
                  'of yours ended.' : '';
          return 'Password changed.' + ended + ' WebDAV and CalDAV clients need the new ' +
              'password from now on.';
        });
    if (ok) {
      for (const id of ['current-password', 'new-password', 'new-password-again']) {
        $(id).value = '';
      }
    } else if (ctx.failed === 125) {
      $('current-password').focus();
    }
  }

  // ---- accounts (administrators) ----------------------------------------------

  const REFUSED = {
    guest: 'anonymous WebDAV requests only, never a login',
    system_uid: 'a system account (uid below 1000)',
    group_root: 'its primary group is root',
  };

  const HOMES = {
    private: {text: 'Private', ok: true, fix: ''},
    missing: {text: 'Missing', ok: false, fix: 'Make home'},
    readable: {text: 'Readable by others', ok: false, fix: 'Make private'},
    not_owned: {text: 'Not the account’s', ok: false, fix: 'Make private'},
    not_a_folder: {text: 'Not a folder', ok: false, fix: ''},
  };

  function accountRow(account) {
    const tr = document.createElement('tr');
    tr.dataset.account = account.account;
    const name = document.createElement('th');
    name.scope = 'row';
    name.textContent = account.account;
    const role = [account.is_admin ? 'Administrator' : 'User'];
    if (account.refused === 'no_password') role.push('no password yet');
    if (account.refused === 'locked') role.push('locked');
    const home = HOMES[account.home] || {text: 'Unknown', ok: false, fix: ''};
    const homeCell = cell('', 'Home folder');
    const badge = document.createElement('span');
    badge.className = `badge badge-${home.ok ? 'ok' : 'bad'}`;
    badge.textContent = home.text;
    homeCell.append(badge);
    const actions = document.createElement('div');
    actions.className = 'row-actions';
    if (home.fix) {
      actions.append(accountButton(home.fix, account, () => fixHome(account)));
    }
    if (account.refused !== 'locked' && account.account !== state.account) {
      actions.append(accountButton('Set password', account, () => openSetPassword(account)));
    }
    if (account.account !== state.account) appendLockAndRemove(actions, account);
    // No "Actions" label on a phone's card that has none.
    const actionsCell = actions.childElementCount ? cell('', 'Actions') :
        document.createElement('td');
    actionsCell.append(actions);
    tr.append(name, cell(role.join(', '), 'Role'), homeCell, actionsCell);
    return tr;
  }

  function accountButton(text, account, onClick) {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'small secondary';
    button.textContent = text;
    button.setAttribute('aria-label', `${text}: ${account.account}`);
    button.addEventListener('click', onClick);
    return button;
  }

  function renderAccounts() {
    const rows = $('account-rows');
    const refused = $('refused-list');
    rows.textContent = '';
    refused.textContent = '';
    let count = 0;
    for (const account of state.accounts) {
      const reason = REFUSED[account.refused];
      if (!reason) {
        rows.append(accountRow(account));
        continue;
      }
      const item = document.createElement('li');
      const name = document.createElement('strong');
      name.textContent = account.account;
      item.append(name, `: ${reason}`);
      refused.append(item);
      ++count;
    }
    $('refused-summary').textContent = `Accounts the services refuse (${count})`;
  }

  async function loadAccounts() {
    try {
      const data = await send('GET', '/webapi/accounts');
      state.accounts = Array.isArray(data && data.accounts) ? data.accounts : [];
      renderAccounts();
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      if (e.code === 106) return sessionEnded();
      say($('accounts-message'), messageFor(e.code, {form: 'accounts'}), 'error');
    }
  }

  async function fixHome(account) {
    const button = document.querySelector(
        `#account-rows tr[data-account="${CSS.escape(account.account)}"] button`);
    const ok = await withProgress(button, $('accounts-message'), 'Making the home folder…',
        {form: 'accounts'}, async () => {
          await send('POST', '/webapi/accounts/home', {account: account.account});
          return `The home folder of ${account.account} is there now, private to ` +
              `${account.account} (mode 0700).`;
        });
    if (ok) {
      const said = $('accounts-message').textContent;
      await loadAccounts();
      say($('accounts-message'), said, 'ok');
    }
  }

  function openSetPassword(account) {
    state.passwordFor = account.account;
    $('setpw-title').textContent = `Set the password of ${account.account}`;
    $('setpw-what').textContent = `${account.account} logs in with it to this page, to ` +
        'WebDAV and to CalDAV; every session of theirs ends.';
    for (const id of ['setpw-new', 'setpw-again', 'setpw-own']) $(id).value = '';
    say($('setpw-message'), '');
    $('setpw-dialog').showModal();
    $('setpw-new').focus();
  }

  // An administrator's new password for `account`, typed twice, and their own password that
  // confirms the change: false, the problem said and its field focused, when one will not do.
  function passwordsReady(message, newId, againId, ownId, account) {
    const problem = newPasswordProblem($(newId).value, $(againId).value, account);
    if (problem) {
      say(message, problem, 'error');
      $(newId).focus();
      return false;
    }
    if (!$(ownId).value) {
      say(message, 'Enter your own password: it confirms that the change is yours.', 'error');
      $(ownId).focus();
      return false;
    }
    return true;
  }

  async function onSetPassword(event) {
    event.preventDefault();
    const account = state.passwordFor;
    const message = $('setpw-message');
    if (!passwordsReady(message, 'setpw-new', 'setpw-again', 'setpw-own', account)) return;
    const password = $('setpw-new').value;
    const own = $('setpw-own').value;
    const ok = await withProgress($('setpw-button'), message, 'Setting the password…',
        {form: 'password', admin: true}, async () => {
          await send('POST', '/webapi/password', {account, old_password: own, password});
          return '';
        });
    if (ok) {
      $('setpw-dialog').close();
      await loadAccounts();
      say($('accounts-message'), `The password of ${account} is set; their other sessions ` +
          'ended.', 'ok');
    }
  }

  // ---- making, locking and removing accounts -----------------------------------

  function appendLockAndRemove(actions, account) {
    const locked = account.refused === 'locked';
    actions.append(accountButton(locked ? 'Unlock' : 'Lock', account,
        () => setLocked(account, !locked)));
    actions.append(accountButton('Remove', account, () => openRemoveAccount(account)));
  }

  // Reloads the list but keeps the message that said what just happened.
  async function reloadAccountsSaying(text) {
    await loadAccounts();
    say($('accounts-message'), text, 'ok');
  }

  async function onCreateAccount(event) {
    event.preventDefault();
    const message = $('newacct-message');
    const name = $('newacct-name').value.trim();
    const password = $('newacct-password').value;
    if (!/^[a-z_][a-z0-9_.-]{0,31}$/.test(name)) {
      say(message, messageFor(140), 'error');
      $('newacct-name').focus();
      return;
    }
    if (!passwordsReady(message, 'newacct-password', 'newacct-again', 'newacct-own', name)) return;
    const own = $('newacct-own').value;
    const admin = $('newacct-admin').checked;
    const ctx = {form: 'password', admin: true};
    const ok = await withProgress($('newacct-button'), message, 'Creating the account…', ctx,
        async () => {
          await send('POST', '/webapi/accounts/create',
              {account: name, password, admin, admin_password: own});
          return `The account ${name} is ready${admin ? ', an administrator' : ''}, with a ` +
              'private home folder.';
        });
    if (ok) {
      for (const id of ['newacct-name', 'newacct-password', 'newacct-again', 'newacct-own']) {
        $(id).value = '';
      }
      $('newacct-admin').checked = false;
      const said = message.textContent;
      await loadAccounts();
      say(message, said, 'ok');
    } else {
      $(ctx.failed === 125 ? 'newacct-own' : 'newacct-name').focus();
    }
  }

  async function setLocked(account, locked) {
    const button = document.querySelector(
        `#account-rows tr[data-account="${CSS.escape(account.account)}"] ` +
        `button[aria-label^="${locked ? 'Lock' : 'Unlock'}:"]`);
    const ok = await withProgress(button, $('accounts-message'),
        locked ? 'Locking…' : 'Unlocking…', {form: 'accounts'}, async () => {
          await send('POST', '/webapi/accounts/lock', {account: account.account, locked});
          return locked ? `${account.account} is locked: refused at every login, their ` +
              'sessions ended.' : `${account.account} is unlocked and logs in again.`;
        });
    if (ok) await reloadAccountsSaying($('accounts-message').textContent);
  }

  function calendarsLeftText(calendars) {
    return calendars.map((c) => `${c.calendarname} (${c.destination})`);
  }

  function addressBooksLeftText(books) {
    return books.map((b) => `${b.addressbookname} (${b.destination}), address book`);
  }

  // What stays behind in a home, as the removal dialog lists it.
  function leftBehindHeading(calendars, books) {
    const count = calendars + books;
    if (!count) return 'No calendar or address book lies in their home folder.';
    const what = !books ? 'calendars' : !calendars ? 'address books' :
      'calendars and address books';
    return `These ${what} in their home folder stay behind (${count}):`;
  }

  function openRemoveAccount(account) {
    state.removing = account;
    const calendars = Array.isArray(account.calendars) ? account.calendars : [];
    const books = Array.isArray(account.addressbooks) ? account.addressbooks : [];
    $('rmacct-title').textContent = `Remove the account ${account.account}?`;
    $('rmacct-what').textContent = `${account.account} can no longer log in anywhere and ` +
        'their sessions end. ' + leftBehindHeading(calendars.length, books.length);
    const list = $('rmacct-calendars');
    list.textContent = '';
    for (const text of [...calendarsLeftText(calendars), ...addressBooksLeftText(books)]) {
      const item = document.createElement('li');
      item.textContent = text;
      list.append(item);
    }
    list.hidden = calendars.length + books.length === 0;
    $('rmacct-home').checked = false;
    say($('rmacct-message'), '');
    $('rmacct-dialog').showModal();
    $('rmacct-cancel').focus();
  }

  async function onRemoveAccount(event) {
    event.preventDefault();
    const account = state.removing;
    const removeHome = $('rmacct-home').checked;
    let done = null;
    const ok = await withProgress($('rmacct-button'), $('rmacct-message'), 'Removing…',
        {form: 'accounts'}, async () => {
          done = await send('POST', '/webapi/accounts/remove',
              {account: account.account, remove_home: removeHome});
          return '';
        });
    if (!ok) return;
    $('rmacct-dialog').close();
    const home = {removed: 'its home folder removed', missing: 'it had no home folder',
      kept: 'its home folder kept'}[done && done.home] ||
        'its home folder kept (it was not the account’s own folder)';
    const left = calendarsLeftText((done && done.calendars_left) || []);
    const booksLeft = ((done && done.addressbooks_left) || []).map((b) => b.addressbookname);
    await reloadAccountsSaying(`The account ${account.account} is removed, ${home}.` +
        (left.length ? ` Calendars left behind: ${left.join(', ')}.` : '') +
        (booksLeft.length ? ` Address books left behind: ${booksLeft.join(', ')}.` : ''));
    $('accounts-title').focus();
  }

  // ---- certificate ----------------------------------------------------------

  const EXPIRY_WARNING_DAYS = 30;

  // Why an uploaded certificate was refused, by the check that failed.
  const CERTIFICATE_REFUSALS = {
    certificate_not_pem: 'The certificate file holds no PEM certificate (-----BEGIN ' +
        'CERTIFICATE-----). Convert it to PEM first.',
    key_not_pem: 'The key file holds no PEM private key, or the key is encrypted. Give the key ' +
        'without a passphrase.',
    key_mismatch: 'The private key does not belong to the certificate (the first one in its ' +
        'file). Choose the key it was issued for.',
    weak_key: 'The certificate’s RSA key is shorter than 2048 bits; clients refuse it.',
    chain_order: 'The chain is out of order: each certificate must be followed by the one that ' +
        'issued it, the server’s own first.',
    chain_incomplete: 'The chain is incomplete: a certificate that issued one in the file is ' +
        'missing, and no trusted authority stands in for it. Add the intermediate ' +
        'certificates your authority gave you.',
    bad_signature: 'A certificate in the chain was not signed by the one after it, though it ' +
        'names it. Use the chain your authority gave you.',
    expired: 'A certificate in the chain has expired. Renew it first.',
    not_yet_valid: 'A certificate in the chain is not valid yet. Check the server’s clock, or ' +
        'wait until it starts.',
  };

  // The certificate endpoints answer a refusal with the failed check beside
  // its code; `send` keeps only the code.
  async function sendCertificate(path, body) {
    let response;
    try {
      response = await fetch(path, {method: 'POST', credentials: 'same-origin', cache: 'no-store',
        headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});
    } catch (e) {
      throw new RequestError('network');
    }
    let answer;
    try {
      answer = await response.json();
    } catch (e) {
      throw new RequestError('unreadable');
    }
    if (answer && answer.success === true) return answer.data;
    const error = (answer && answer.error) || {};
    const refused = new RequestError(Number.isInteger(error.code) ? error.code : 'unreadable');
    refused.reason = error.reason;
    throw refused;
  }

  function certificateDate(seconds) {
    return new Date(seconds * 1000).toISOString().slice(0, 10);
  }

  function showCertificate(cert) {
    const message = $('certificate-message');
    $('certificate-facts').hidden = !cert;
    if (!cert) {
      say(message, 'The server has no certificate yet: HTTPS is not served.', 'error');
      return;
    }
    $('cert-subject').textContent = cert.subject;
    $('cert-names').textContent = (cert.names || []).join(', ');
    $('cert-issuer').textContent = cert.self_signed ? 'Self-signed' : cert.issuer;
    $('cert-dates').textContent =
        `${certificateDate(cert.not_before)} to ${certificateDate(cert.not_after)}`;
    $('cert-sha256').textContent = cert.sha256;
    const daysLeft = (cert.not_after * 1000 - Date.now()) / 86400000;
    if (daysLeft < 0) {
      say(message, 'This certificate has expired: clients refuse it. Install a new one.', 'error');
    } else if (daysLeft < EXPIRY_WARNING_DAYS) {
      say(message, `This certificate expires in ${Math.ceil(daysLeft)} days. Install a ` +
          'renewed one before then.', 'error');
    } else {
      say(message, '');
    }
  }

  async function loadCertificate() {
    $('certificate-form').hidden = !state.isAdmin;
    try {
      const data = await send('GET', '/webapi/certificate');
      showCertificate(data && data.certificate);
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      if (e.code === 106) return sessionEnded();
      say($('certificate-message'), messageFor(e.code), 'error');
    }
  }

  async function installCertificate(path, body, progressText, doneText, button) {
    const message = $('certificate-form-message');
    let installed = null;
    const ctx = {form: 'certificate'};
    const ok = await withProgress(button, message, progressText, ctx, async () => {
      try {
        installed = await sendCertificate(path, body);
      } catch (e) {
        ctx.reason = e.reason;
        throw e;
      }
      return doneText;
    });
    if (ok && installed) showCertificate(installed.certificate);
  }

  async function onInstallCertificate(event) {
    event.preventDefault();
    const certFile = $('cert-file').files[0];
    const keyFile = $('key-file').files[0];
    if (!certFile || !keyFile) {
      say($('certificate-form-message'), 'Choose the certificate file and its key file.',
          'error');
      (certFile ? $('key-file') : $('cert-file')).focus();
      return;
    }
    const body = {certificate: await certFile.text(), key: await keyFile.text()};
    await installCertificate('/webapi/certificate', body, 'Checking and installing…',
        'Installed: clients get it from their next connection.', $('certificate-button'));
  }

  function initCertificate() {
    $('certificate-form').addEventListener('submit', onInstallCertificate);
    $('certificate-form').addEventListener('input', () => say($('certificate-form-message'), ''));
    $('self-signed-button').addEventListener('click', () => installCertificate(
        '/webapi/certificate/self-signed', {}, 'Making a new certificate…',
        'A new self-signed certificate is served: clients ask to trust it again.',
        $('self-signed-button')));
  }

  // ---- panel navigation -----------------------------------------------------

  // A link to each panel shown, named by the panel's own heading: a panel
  // added to the page, or shown only to some accounts, joins by itself.
  function visiblePanels() {
    const panels = [];
    for (const panel of $('app-view').querySelectorAll('section.panel[id]')) {
      const heading = panel.querySelector('h2');
      if (!panel.hidden && heading) panels.push({panel, heading});
    }
    return panels;
  }

  function buildPanelNav() {
    const panels = visiblePanels();
    const nav = $('panel-nav');
    // Mutations of the page call this often; the links are made anew only
    // when the panels changed, which also keeps it from feeding itself.
    const key = panels.map(({panel, heading}) => `${panel.id}\n${heading.textContent}`)
        .join('\n');
    if (nav.dataset.key === key) return;
    nav.dataset.key = key;
    const list = document.createElement('ul');
    for (const {panel, heading} of panels) {
      const link = document.createElement('a');
      link.href = `#${panel.id}`;
      link.textContent = heading.textContent.trim();
      link.addEventListener('click', (event) => goToPanel(event, panel, heading));
      const item = document.createElement('li');
      item.append(link);
      list.append(item);
    }
    nav.replaceChildren(list);
    nav.hidden = panels.length < 2;
  }

  // The heading takes the focus, so that the keyboard goes on in the panel
  // and a screen reader says where it landed.
  function goToPanel(event, panel, heading) {
    event.preventDefault();
    if (!heading.hasAttribute('tabindex')) heading.tabIndex = -1;
    panel.scrollIntoView({block: 'start'});
    heading.focus({preventScroll: true});
  }

  function watchPanels() {
    const observer = new MutationObserver((records) => {
      if (records.some((r) => r.target.id !== 'panel-nav' && !$('panel-nav').contains(r.target))) {
        buildPanelNav();
      }
    });
    observer.observe($('app-view'), {subtree: true, childList: true, characterData: true,
      attributes: true, attributeFilter: ['hidden']});
    buildPanelNav();
  }

  // ---- who may use each share -----------------------------------------------

  // Each list entry in words: "@staff" is the group staff.
  function entryLabel(entry) {
    return entry.startsWith('@') ? `group ${entry.slice(1)}` : entry;
  }

  function listText(entries) {
    return entries.length ? entries.map(entryLabel).join(', ') : 'Anyone its folder lets in';
  }

  function shareRow(item) {
    const tr = document.createElement('tr');
    tr.dataset.share = item.share;
    const name = document.createElement('th');
    name.scope = 'row';
    name.textContent = item.share;
    const actions = document.createElement('div');
    actions.className = 'row-actions';
    let reads = listText([...item.read, ...item.write]);
    let writes = listText(item.write);
    if (item.homes) {
      reads = writes = 'Each account its own home';
    } else {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'small secondary';
      button.textContent = 'Edit';
      button.setAttribute('aria-label', `Edit who may use ${item.share}`);
      button.addEventListener('click', () => openShareAccess(item));
      actions.append(button);
    }
    const actionsCell = actions.childElementCount ? cell('', 'Actions') :
        document.createElement('td');
    actionsCell.append(actions);
    tr.append(name, cell(reads, 'Reads'), cell(writes, 'Writes'), actionsCell);
    return tr;
  }

  async function loadShareAccess() {
    try {
      const [data, accounts] = await Promise.all([call(SHARE, 'list'),
        send('GET', '/webapi/accounts')]);
      state.shareAccess = Array.isArray(data && data.shares) ? data.shares : [];
      // Groups and accounts the lists may name: every group of the server, and every
      // account that logs in (system accounts and the guest never do).
      state.shareChoices = [
        ...(Array.isArray(data && data.groups) ? data.groups : []).map((g) => '@' + g),
        ...(Array.isArray(accounts && accounts.accounts) ? accounts.accounts : [])
            .filter((a) => !REFUSED[a.refused]).map((a) => a.account),
      ];
      const rows = $('share-rows');
      rows.textContent = '';
      for (const item of state.shareAccess) rows.append(shareRow(item));
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      if (e.code === 106) return sessionEnded();
      say($('shares-message'), messageFor(e.code, {form: 'shares'}), 'error');
    }
  }

  // One check box per choice; names already on the list that are no choice any more
  // (a removed account) stay shown, so that saving says what is wrong with them.
  function fillPicker(box, list, id) {
    box.textContent = '';
    const names = [...new Set([...state.shareChoices, ...list])];
    names.forEach((entry, i) => {
      const label = document.createElement('label');
      label.className = 'check';
      const input = document.createElement('input');
      input.type = 'checkbox';
      input.id = `${id}-${i}`;
      input.value = entry;
      input.checked = list.includes(entry);
      label.append(input, entryLabel(entry));
      box.append(label);
    });
  }

  function openShareAccess(item) {
    state.shareEdited = item.share;
    $('share-dialog-title').textContent = `Who may use ${item.share}`;
    $('share-dialog-path').textContent = `Folder ${item.path}. With no names ticked, the ` +
        'folder\'s permissions decide.';
    fillPicker($('share-read'), item.read, 'share-read');
    fillPicker($('share-write'), item.write, 'share-write');
    say($('share-dialog-message'), '');
    $('share-dialog').showModal();
    $('share-save').focus();
  }

  const ticked = (box) => [...box.querySelectorAll('input:checked')].map((i) => i.value);

  async function onSaveShareAccess(event) {
    event.preventDefault();
    const share = state.shareEdited;
    const write = ticked($('share-write'));
    // A writer reads anyway: the read list holds only those who only read.
    const read = ticked($('share-read')).filter((entry) => !write.includes(entry));
    const ok = await withProgress($('share-save'), $('share-dialog-message'),
        'Saving and preparing the folder…', {form: 'shares'}, async () => {
          await call(SHARE, 'set', {share, read, write});
          return '';
        });
    if (ok) {
      $('share-dialog').close();
      await loadShareAccess();
      say($('shares-message'), `Saved who may use ${share}.`, 'ok');
    }
  }

  // ---- wiring ---------------------------------------------------------------

  function init() {
    $('login-form').addEventListener('submit', onLogin);
    $('logout').addEventListener('click', onLogout);
    $('webdav-form').addEventListener('submit', onSaveWebDAV);
    for (const sw of SWITCHES) {
      $(`${sw.key}-form`).addEventListener('submit', (event) => onSaveSwitch(event, sw));
    }
    // A message about the last try goes once the user changes the form.
    for (const [form, status] of [['webdav-form', 'webdav-message'],
      ['caldav-form', 'caldav-message'], ['carddav-form', 'carddav-message'],
      ...KINDS.map((k) => [k.el.form, k.el.message])]) {
      $(form).addEventListener('input', () => say($(status), ''));
    }
    $('password-form').addEventListener('submit', onChangePassword);
    $('password-form').addEventListener('input', () => say($('password-message'), ''));
    $('setpw-form').addEventListener('submit', onSetPassword);
    $('share-form').addEventListener('submit', onSaveShareAccess);
    $('share-cancel').addEventListener('click', () => $('share-dialog').close());
    $('setpw-cancel').addEventListener('click', () => $('setpw-dialog').close());
    $('newacct-form').addEventListener('submit', onCreateAccount);
    $('newacct-form').addEventListener('input', () => say($('newacct-message'), ''));
    $('rmacct-form').addEventListener('submit', onRemoveAccount);
    $('rmacct-cancel').addEventListener('click', () => $('rmacct-dialog').close());
    $('accounts-title').tabIndex = -1;
    $('edit-form').addEventListener('submit', onEdit);
    $('delete-form').addEventListener('submit', onDelete);
    $('edit-cancel').addEventListener('click', () => $('edit-dialog').close());
    $('delete-cancel').addEventListener('click', () => $('delete-dialog').close());
    for (const kind of KINDS) {
      const {el} = kind;
      $(el.title).tabIndex = -1;
      $(el.form).addEventListener('submit', (event) => onCreate(event, kind));
      // The addresses come with the services: a client that opened an
      // account since may have named more.
      $(el.reload).addEventListener('click', () => loadServices().then(() => loadList(kind)));
      $(el.filter).addEventListener('input', () => renderList(kind));
      $(el.table).querySelector('thead').addEventListener('click', (e) => onSort(e, kind));
    }
    initCertificate();
    watchPanels();
    start();
  }

  document.addEventListener('DOMContentLoaded', init);
})();
