// The generic browser client: a WebSocket connection (or, without
// WebSocket, a server-sent-events stream with posts), one-handler events,
// and the Base64 and stream helpers the sub-protocol scripts share.
// The build strips comment lines and indentation before embedding it.

// Eight random 16-bit values in lower-case hexadecimal, unpadded.
function GUID() {
  var text = '';
  for (var i = 0; i < 8; i++) text += Math.floor(Math.random() * 0x10000).toString(16);
  return text;
}

// An event with one handler; subscribing replaces the handler.
function event(name) {
  this.name = name;
  this.handler = null;
}
event.prototype.subscribe = function (handler) {
  this.handler = handler;
};
event.prototype.fire = function () {
  if (this.handler) this.handler.apply(this, arguments);
};

var tvqEncodeBase64 = false;
var tvqB64Prefix = 'tvq@b64:';

// Base64 of a text's UTF-8 bytes, and back.
function tvqBtoa(text) {
  var bytes = new TextEncoder().encode(text), binary = '';
  for (var i = 0; i < bytes.length; i++) binary += String.fromCharCode(bytes[i]);
  return btoa(binary);
}
function tvqAtob(text) {
  var binary = atob(text), bytes = new Uint8Array(binary.length);
  for (var i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return new TextDecoder().decode(bytes);
}

function tvqEncodeB64(text) {
  if (!text) return text;
  return tvqEncodeBase64 ? tvqB64Prefix + tvqBtoa(text) : text;
}

function tvqDecodeB64(text) {
  if (typeof text === 'string' && text.indexOf(tvqB64Prefix) === 0) return tvqAtob(text.substring(tvqB64Prefix.length));
  return text;
}

// A binary message as text.
function tvqStreamToString(blob, callback) {
  var reader = new FileReader();
  reader.onload = function () {
    callback(reader.result);
  };
  reader.readAsText(blob);
}

// A binary message made of a 10-character decimal length n, a header of n
// characters and the data: the callback receives the header and the data.
function tvqWSStreamRead(blob, callback) {
  tvqStreamToString(blob.slice(0, 10), function (size) {
    var n = parseInt(size, 10);
    tvqStreamToString(blob.slice(10, 10 + n), function (header) {
      callback(header, blob.slice(10 + n));
    });
  });
}

// tvqWebSocket(options) with host, subprotocol, user, password, transport;
// or tvqWebSocket(host, subprotocol, transport). It connects at once.
function tvqWebSocket(host, subprotocol, transport) {
  if (arguments.length === 0) return;
  var options = host !== null && typeof host === 'object' ? host : { host: host, subprotocol: subprotocol, transport: transport };
  this.host = options.host || 'ws://127.0.0.1';
  this.subprotocol = options.subprotocol || '';
  this.user = options.user;
  this.password = options.password;
  this.transport = options.transport || ['websocket', 'sse'];
  this.socket = null;
  this.events = {};
  var names = ['open', 'close', 'message', 'stream', 'error'];
  for (var i = 0; i < names.length; i++) this.events[names[i]] = new event(names[i]);
  this.open();
}

tvqWebSocket.prototype.fire = function (name) {
  var e = this.events[name];
  if (e) e.fire.apply(e, Array.prototype.slice.call(arguments, 1));
};

// What a received text becomes; sub-protocol scripts decode it further.
tvqWebSocket.prototype.dispatch = function (text) {
  this.fire('message', text);
};

tvqWebSocket.prototype.open = function () {
  var wants = function (self, name) {
    return self.transport.indexOf(name) >= 0;
  };
  if (typeof WebSocket !== 'undefined' && wants(this, 'websocket')) {
    this.kind = 'websocket';
    this.openWebSocket();
  } else if (typeof EventSource !== 'undefined' && wants(this, 'sse')) {
    this.kind = 'sse';
    this.openEventSource();
  } else {
    alert('WebSockets not supported by your Browser.');
  }
};

tvqWebSocket.prototype.openWebSocket = function () {
  var self = this, url = this.host;
  if (this.user) url += this.loginPath();
  this.socket = this.subprotocol ? new WebSocket(url, this.subprotocol) : new WebSocket(url);
  this.socket.onopen = function () {
    self.fire('open');
  };
  this.socket.onclose = function (e) {
    self.fire('close', e.code, e.reason, e.wasClean);
  };
  this.socket.onmessage = function (e) {
    if (typeof e.data === 'string') self.dispatch(e.data);
    else self.fire('stream', e.data);
  };
  this.socket.onerror = function (e) {
    self.fire('error', e);
  };
};

// The login the server reads from the request target: user and password as
// URL segments, percent-encoded so that a '/', '?', '#' or '%' in them stays
// theirs.
tvqWebSocket.prototype.loginPath = function () {
  return '/tvq/auth/url/' + encodeURIComponent(this.user) + '/' + encodeURIComponent(this.password || '');
};

// The path of the host URL, without scheme, host and port.
tvqWebSocket.prototype.hostPath = function () {
  var path = this.host.replace(/^[a-z]+:\/\/[^\/]*/i, '');
  return path.replace(/\/$/, '');
};

tvqWebSocket.prototype.openEventSource = function () {
  var self = this, url = this.hostPath();
  if (this.user) url += this.loginPath() + '/' + this.subprotocol;
  else if (this.subprotocol) url += '/' + this.subprotocol;
  else url += '/';
  this.sseid = null;
  this.socket = new EventSource(url);
  this.socket.onopen = function () {
    self.fire('open');
  };
  this.socket.onmessage = function (e) {
    if (self.sseid === null) self.sseid = e.data;
    else self.dispatch(e.data);
  };
  this.socket.onerror = function (e) {
    self.fire('error', e);
  };
};

tvqWebSocket.prototype.send = function (text) {
  if (this.kind === 'sse') {
    var request = new XMLHttpRequest();
    request.open('POST', '/tvq/xhr/' + this.sseid, true);
    request.send(text);
    return;
  }
  this.socket.send(text);
};

tvqWebSocket.prototype.sendbin = function (data) {
  this.socket.send(data);
};

tvqWebSocket.prototype.close = function () {
  this.socket.close();
  if (this.kind === 'sse') this.fire('close', 1000, '', true);
};

tvqWebSocket.prototype.state = function () {
  var states = this.kind === 'sse' ? ['connecting', 'open', 'closed'] : ['connecting', 'open', 'closing', 'closed'];
  var state = this.socket ? states[this.socket.readyState] : undefined;
  return state || 'undefined';
};

tvqWebSocket.prototype.on = function (name, handler) {
  if (this.events[name]) this.events[name].subscribe(handler);
};

// ---- shared by the sub-protocol scripts: their JSON-RPC texts and the
// dispatch of received texts to named events.

// A JSON string of any value's text.
function tvqQuote(value) {
  return JSON.stringify(value === undefined || value === null ? '' : String(value));
}

// A message as it travels in "message": JSON text as it is, anything else
// as a JSON string.
function tvqMessageValue(message) {
  var text = message === undefined || message === null ? '' : String(message);
  var first = text.charAt(0);
  return first === '{' || first === '[' || first === '"' ? text : JSON.stringify(text);
}

// Makes a sub-protocol client: aArgs are (options or host, name, transport);
// a name selects the sub-protocol name "." identifier.
function tvqProtocolInit(self, identifier, args, eventNames) {
  self.qos = '';
  self.queue = '';
  if (args.length === 0) return;
  var host = args[0], name = args[1], transport = args[2], options = {};
  if (host !== null && typeof host === 'object') {
    for (var key in host) options[key] = host[key];
  } else {
    options.host = host;
  }
  options.subprotocol = name ? name + '.' + identifier : identifier;
  if (transport) options.transport = transport;
  tvqWebSocket.call(self, options);
  for (var i = 0; i < eventNames.length; i++) self.events[eventNames[i]] = new event(eventNames[i]);
}

var tvqProtocolEvents = ['tvqmessage', 'tvqevent', 'tvqsession', 'tvqsubscribe', 'tvqunsubscribe',
  'tvqacknowledgment', 'tvqpubrec', 'tvqrpcresult', 'tvqrpcerror'];

// The events fired for result methods: each gives the event name and its
// arguments.
var tvqProtocolResults = {
  'tvq@subscribe': function (m, r) { return ['tvqsubscribe', r.channel]; },
  'tvq@unsubscribe': function (m, r) { return ['tvqunsubscribe', r.channel]; },
  'tvq@pubrec': function (m) { return ['tvqpubrec', m.id]; },
  'tvq@event': function (m, r) { return ['tvqevent', r.channel, r.message]; },
  'tvq@session': function (m, r) { return ['tvqsession', r.message]; },
  'tvq@message': function (m, r) { return ['tvqmessage', r.message]; },
  'tvq@acknowledgment': function (m) { return ['tvqacknowledgment', m.id]; }
};

var tvqProtocolMethods = {
  qoslevel0: function () { this.qos = 'qosLevel0'; },
  qoslevel1: function () { this.qos = 'qosLevel1'; },
  qoslevel2: function () { this.qos = 'qosLevel2'; },
  queuelevel0: function () { this.queue = 'queueLevel0'; },
  queuelevel1: function () { this.queue = 'queueLevel1'; },
  queuelevel2: function () { this.queue = 'queueLevel2'; },

  // The chosen QoS and (for a publish) queue members of "params".
  selected: function (method) {
    var text = '';
    if (this.qos) text += ', "qos":"' + this.qos + '"';
    if (this.queue && method === 'tvq@publish') text += ', "queue":"' + this.queue + '"';
    return text;
  },

  // send(message), send(message, method), send(message, method, channel[, id]).
  send: function (message, method, channel, id) {
    var value = tvqMessageValue(message), text;
    if (arguments.length <= 2) {
      method = arguments.length === 2 ? method : 'tvq@message';
      text = '{"jsonrpc":"2.0", "method":' + tvqQuote(method) + ', "params":{"message":' + value +
        this.selected(method) + '}, "id":"' + GUID() + '"}';
    } else if (id) {
      text = '{"jsonrpc":"2.0", "method":' + tvqQuote(method) + ', "params":{"channel":' + tvqQuote(channel) +
        ', "message":' + value + this.selected(method) + '}, "id":' + tvqQuote(id) + '}';
    } else {
      text = '{"jsonrpc":"2.0", "method":' + tvqQuote(method) + ', "params":{"channel":' + tvqQuote(channel) +
        ', "message":' + value + '}}';
    }
    this.sendtext(text);
  },
  sendtext: function (text) {
    tvqWebSocket.prototype.send.call(this, text);
  },
  broadcast: function (message, channel) { this.send(message, 'tvq@broadcast', channel || ''); },
  publish: function (message, channel) { this.send(message, 'tvq@publish', channel, GUID()); },
  subscribe: function (channel) { this.send('', 'tvq@subscribe', channel, GUID()); },
  unsubscribe: function (channel) { this.send('', 'tvq@unsubscribe', channel, GUID()); },
  getsession: function () { this.request('tvq@session'); },
  starttransaction: function (channel) { this.send('', 'tvq@transaction', channel || ''); },
  commit: function (channel) { this.send('', 'tvq@commit', channel || ''); },
  rollback: function (channel) { this.send('', 'tvq@rollback', channel || ''); },
  pubrel: function (id) { this.send('', 'tvq@pubrel', '', id); },
  request: function (method) { this.sendtext('{"jsonrpc":"2.0", "method":' + tvqQuote(method) + '}'); },

  // A JSON text goes to the event of its result method, or to
  // "tvqrpcresult" / "tvqrpcerror"; a text that is not JSON to "message".
  dispatch: function (text) {
    var message;
    try {
      message = JSON.parse(text);
    } catch (e) {
      this.fire('message', text);
      return;
    }
    if (message === null || typeof message !== 'object') {
      this.fire('message', text);
    } else if ('result' in message) {
      var result = message.result;
      var known = result !== null && typeof result === 'object' ? this.results[result.method] : undefined;
      if (known) this.fire.apply(this, known(message, result));
      else this.fire('tvqrpcresult', result, message.id);
    } else if ('error' in message) {
      var error = message.error || {};
      this.fire('tvqrpcerror', error.code, error.message, error.data);
    }
  }
};

// Gives a sub-protocol client constructor the generic client's methods, the
// shared protocol methods and its own (aMethods), and its result events.
function tvqProtocolDerive(constructor, methods, results) {
  constructor.prototype = Object.create(tvqWebSocket.prototype);
  constructor.prototype.constructor = constructor;
  var name;
  for (name in tvqProtocolMethods) constructor.prototype[name] = tvqProtocolMethods[name];
  for (name in methods) constructor.prototype[name] = methods[name];
  constructor.prototype.results = {};
  for (name in tvqProtocolResults) constructor.prototype.results[name] = tvqProtocolResults[name];
  for (name in results) constructor.prototype.results[name] = results[name];
}

// ---- the test pages: a status line (#status), a log list (#log) where each
// event is prepended, and links (by id) that act on the client.
var tvqPage = {
  client: null,   // the client the page watches
  logSize: 500,   // the log keeps this many newest lines
  status: function (text) {
    var line = document.getElementById('status');
    line.textContent = text;
    line.className = text;
  },
  show: function (value) {
    return value !== null && typeof value === 'object' ? JSON.stringify(value) : String(value);
  },
  log: function (text) {
    var item = document.createElement('li'), list = document.getElementById('log');
    item.textContent = text;
    list.insertBefore(item, list.firstChild);
    while (list.children.length > tvqPage.logSize) list.removeChild(list.lastChild);
  },
  clear: function () {
    document.getElementById('log').textContent = '';
  },
  link: function (id, action) {
    document.getElementById(id).onclick = function () {
      action();
      return false;
    };
  },
  // A link's action that needs the connection open: otherwise it logs why
  // nothing is sent.
  whenOpen: function (action) {
    return function () {
      var state = tvqPage.client ? tvqPage.client.state() : 'closed';
      if (state === 'open') action();
      else if (state === 'connecting') tvqPage.log('not connected yet: wait for open');
      else tvqPage.log('not connected: press Open first');
    };
  },
  // The close and state links: like the others, they tell when there is
  // no connection.
  close: function () {
    var state = tvqPage.client ? tvqPage.client.state() : 'closed';
    if (state === 'open' || state === 'connecting') tvqPage.client.close();
    else tvqPage.log('not connected: press Open first');
  },
  state: function () {
    tvqPage.log(tvqPage.client ? 'state: ' + tvqPage.client.state() : 'not connected: press Open first');
  },
  // Logs every event of the client as "name: arguments" and keeps the
  // status line up to date.
  watch: function (client) {
    var states = { open: 'online', close: 'offline', error: 'error' };
    tvqPage.client = client;
    Object.keys(client.events).forEach(function (name) {
      client.on(name, function () {
        if (states[name]) tvqPage.status(states[name]);
        var text = Array.prototype.map.call(arguments, tvqPage.show).join(' ');
        tvqPage.log(name + (text ? ': ' + text : ''));
      });
    });
  }
};
