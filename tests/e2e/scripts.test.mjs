// The served client scripts, run in Node with a stand-in WebSocket: the
// exact texts they build and the events they fire for received texts.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import vm from 'node:vm';

const web = new URL('../../web/', import.meta.url);

// A WebSocket that records what the script does with it.
class FakeWebSocket {
  constructor(url, protocol) {
    this.url = url;
    this.protocol = protocol;
    this.sent = [];
    this.readyState = 1;
  }
  send(text) { this.sent.push(text); }
  close() { this.readyState = 3; }
}

// A fresh page with the generic script and the named sub-protocol scripts.
function page(...scripts) {
  const context = vm.createContext({ WebSocket: FakeWebSocket, TextEncoder, TextDecoder, btoa, atob, console });
  for (const file of ['tvqWebSockets.js', ...scripts]) vm.runInContext(readFileSync(new URL(file, web), 'utf8'), context);
  return context;
}

const GUID_FORM = /^[0-9a-f]{8,32}$/;
const ID = '"id":"([0-9a-f]{8,32})"';

// The one text the action sent.
function sentBy(client, action) {
  const before = client.socket.sent.length;
  action();
  assert.equal(client.socket.sent.length, before + 1, 'one text sent');
  return client.socket.sent.at(-1);
}

for (const [script, constructor, identifier] of [
  ['tvq.tickerhall.js', 'tvqws', 'tvq.tickerhall'],
  ['dataset.tvq.tickerhall.js', 'tvqws_dataset', 'dataset.tvq.tickerhall'],
]) {
  const make = (...args) => {
    const context = page(script);
    context.args = args;
    return { context, client: vm.runInContext(`new ${constructor}(...args)`, context) };
  };

  test(`${constructor}: the four forms of send`, () => {
    const { client } = make('ws://127.0.0.1:1');
    assert.match(sentBy(client, () => client.send('hi')),
      new RegExp(`^\\{"jsonrpc":"2.0", "method":"tvq@message", "params":\\{"message":"hi"\\}, ${ID}\\}$`));
    assert.match(sentBy(client, () => client.send('{"a":1}', 'm')),
      new RegExp(`^\\{"jsonrpc":"2.0", "method":"m", "params":\\{"message":\\{"a":1\\}\\}, ${ID}\\}$`));
    assert.equal(sentBy(client, () => client.send('hi', 'm', 'c', '7')),
      '{"jsonrpc":"2.0", "method":"m", "params":{"channel":"c", "message":"hi"}, "id":"7"}');
    assert.equal(sentBy(client, () => client.send('hi', 'm', 'c')),
      '{"jsonrpc":"2.0", "method":"m", "params":{"channel":"c", "message":"hi"}}');
    assert.equal(sentBy(client, () => client.send('[1]', 'm', 'c', '')),
      '{"jsonrpc":"2.0", "method":"m", "params":{"channel":"c", "message":[1]}}');
    assert.equal(sentBy(client, () => client.send('', 'm', 'c')),
      '{"jsonrpc":"2.0", "method":"m", "params":{"channel":"c", "message":""}}');
    // A quoted message stays valid JSON whatever it holds.
    assert.equal(sentBy(client, () => client.send('say "hi"', 'm', 'c')),
      '{"jsonrpc":"2.0", "method":"m", "params":{"channel":"c", "message":"say \\"hi\\""}}');
  });

  test(`${constructor}: QoS and queue members once chosen`, () => {
    const { client } = make('ws://127.0.0.1:1');
    assert.equal(sentBy(client, () => client.send('hi', 'tvq@publish', 'c', '1')),
      '{"jsonrpc":"2.0", "method":"tvq@publish", "params":{"channel":"c", "message":"hi"}, "id":"1"}');
    client.qoslevel1();
    client.queuelevel2();
    assert.equal(sentBy(client, () => client.send('hi', 'tvq@publish', 'c', '1')),
      '{"jsonrpc":"2.0", "method":"tvq@publish", "params":{"channel":"c", "message":"hi", "qos":"qosLevel1", "queue":"queueLevel2"}, "id":"1"}');
    assert.match(sentBy(client, () => client.subscribe('c')),
      new RegExp(`^\\{"jsonrpc":"2.0", "method":"tvq@subscribe", "params":\\{"channel":"c", "message":"", "qos":"qosLevel1"\\}, ${ID}\\}$`));
    assert.match(sentBy(client, () => client.publish('Hello', 'c')),
      new RegExp(`^\\{"jsonrpc":"2.0", "method":"tvq@publish", "params":\\{"channel":"c", "message":"Hello", "qos":"qosLevel1", "queue":"queueLevel2"\\}, ${ID}\\}$`));
    assert.equal(sentBy(client, () => client.broadcast('b')),
      '{"jsonrpc":"2.0", "method":"tvq@broadcast", "params":{"channel":"", "message":"b"}}');
    client.qoslevel2();
    assert.equal(sentBy(client, () => client.pubrel('9')),
      '{"jsonrpc":"2.0", "method":"tvq@pubrel", "params":{"channel":"", "message":"", "qos":"qosLevel2"}, "id":"9"}');
  });

  test(`${constructor}: requests and transactions`, () => {
    const { client } = make('ws://127.0.0.1:1');
    assert.equal(sentBy(client, () => client.getsession()), '{"jsonrpc":"2.0", "method":"tvq@session"}');
    assert.equal(sentBy(client, () => client.starttransaction('t')),
      '{"jsonrpc":"2.0", "method":"tvq@transaction", "params":{"channel":"t", "message":""}}');
    assert.equal(sentBy(client, () => client.commit()),
      '{"jsonrpc":"2.0", "method":"tvq@commit", "params":{"channel":"", "message":""}}');
    assert.equal(sentBy(client, () => client.rollback('t')),
      '{"jsonrpc":"2.0", "method":"tvq@rollback", "params":{"channel":"t", "message":""}}');
    assert.match(sentBy(client, () => client.unsubscribe('c')),
      new RegExp(`^\\{"jsonrpc":"2.0", "method":"tvq@unsubscribe", "params":\\{"channel":"c", "message":""\\}, ${ID}\\}$`));
  });

  test(`${constructor}: connection options`, () => {
    assert.equal(make('ws://h:1').client.socket.protocol, identifier);
    assert.equal(make('ws://h:1', 'g').client.socket.protocol, `g.${identifier}`);
    const { client } = make({ host: 'ws://h:1', user: 'u', password: 'p' });
    assert.equal(client.socket.url, 'ws://h:1/tvq/auth/url/u/p');
    assert.equal(make({ host: 'ws://h:1', user: 'u' }).client.socket.url, 'ws://h:1/tvq/auth/url/u/');
    assert.equal(make().client.socket, undefined);  // no arguments: nothing happens
    assert.equal(client.state(), 'open');
    client.close();
    assert.equal(client.state(), 'closed');
  });

  test(`${constructor}: received texts fire their events`, () => {
    const { client } = make('ws://h:1');
    const fired = [];
    for (const name of ['tvqsession', 'tvqacknowledgment', 'tvqsubscribe', 'tvqunsubscribe', 'tvqevent', 'tvqmessage',
      'tvqpubrec', 'tvqrpcresult', 'tvqrpcerror', 'message'])
      client.on(name, (...args) => fired.push([name, ...args]));
    const receive = (text) => client.socket.onmessage({ data: text });
    receive('{"jsonrpc":"2.0","result":{"method":"tvq@session","message":"G"},"qos":"qosLevel0","id":"G"}');
    receive('{"jsonrpc":"2.0","result":{"method":"tvq@acknowledgment"},"id":"5"}');
    receive('{"jsonrpc":"2.0","result":{"method":"tvq@subscribe","channel":"c"},"id":"5"}');
    receive('{"jsonrpc":"2.0","result":{"method":"tvq@unsubscribe","channel":"c"},"id":"5"}');
    receive('{"jsonrpc":"2.0","result":{"method":"tvq@event","channel":"c","message":{"a":1}}}');
    receive('{"jsonrpc":"2.0","result":{"method":"tvq@message","channel":"","message":"M"}}');
    receive('{"jsonrpc":"2.0","result":{"method":"tvq@pubrec"},"id":"6"}');
    receive('{"jsonrpc":"2.0","result":"R","qos":"qosLevel0","id":"7"}');
    receive('{"jsonrpc":"2.0","error":{"code":-32601,"message":"no","data":"d"},"id":"8"}');
    receive('{"jsonrpc":"2.0","method":"tvq@message","params":{"message":"direct"}}');  // fires nothing
    receive(identifier);  // not JSON: the plain message event
    assert.deepEqual(JSON.parse(JSON.stringify(fired)), [
      ['tvqsession', 'G'], ['tvqacknowledgment', '5'], ['tvqsubscribe', 'c'], ['tvqunsubscribe', 'c'],
      ['tvqevent', 'c', { a: 1 }], ['tvqmessage', 'M'], ['tvqpubrec', '6'], ['tvqrpcresult', 'R', '7'],
      ['tvqrpcerror', -32601, 'no', 'd'], ['message', identifier]]);
  });
}

test('tvqws: rpc and notify send params as a JSON string', () => {
  const context = page('tvq.tickerhall.js');
  const client = vm.runInContext("new tvqws('ws://h:1')", context);
  assert.equal(sentBy(client, () => client.rpc('1', 'test', '{"param":10}')),
    '{"jsonrpc":"2.0", "method":"test", "params":"{\\"param\\":10}", "id":"1"}');
  assert.equal(sentBy(client, () => client.notify('test')), '{"jsonrpc":"2.0", "method":"test", "params":""}');
});

test('tvqws_dataset: rpc, notify and record messages send raw JSON', () => {
  const context = page('dataset.tvq.tickerhall.js');
  const client = vm.runInContext("new tvqws_dataset('ws://h:1')", context);
  assert.equal(sentBy(client, () => client.rpc('1', 'test', '{"param":10}')),
    '{"jsonrpc":"2.0", "method":"test", "params":{"param":10}, "id":"1"}');
  assert.equal(sentBy(client, () => client.notify('test', '{"param":10}')),
    '{"jsonrpc":"2.0", "method":"test", "params":{"param":10}}');
  for (const kind of ['new', 'update', 'delete'])
    assert.equal(sentBy(client, () => client[`dataset_${kind}`]('{"ID":3,"LAST":"1,00"}')),
      `{"jsonrpc":"2.0", "result":{"method":"tvq@dataset","channel":"tvq@dataset@${kind}","dataset":{"ID":3,"LAST":"1,00"}}}`);
  assert.equal(sentBy(client, () => client.synchronize()), '{"jsonrpc":"2.0", "method":"tvq@dataset@req@records"}');
  assert.equal(sentBy(client, () => client.getmetadata()), '{"jsonrpc":"2.0", "method":"tvq@dataset@req@metadata"}');
  const before = client.socket.sent.length;
  client.subscribe_all();
  client.unsubscribe_all();
  const channels = client.socket.sent.slice(before).map((text) => [JSON.parse(text).method, JSON.parse(text).params.channel]);
  assert.deepEqual(channels, [
    ['tvq@subscribe', 'tvq@dataset@new'], ['tvq@subscribe', 'tvq@dataset@update'], ['tvq@subscribe', 'tvq@dataset@delete'],
    ['tvq@unsubscribe', 'tvq@dataset@new'], ['tvq@unsubscribe', 'tvq@dataset@update'], ['tvq@unsubscribe', 'tvq@dataset@delete']]);

  const fired = [];
  for (const name of ['tvqdataset', 'tvqmetadata', 'tvqbeforesynchronize', 'tvqaftersynchronize'])
    client.on(name, (...args) => fired.push([name, ...args]));
  const receive = (text) => client.socket.onmessage({ data: text });
  receive('{"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"tvq@dataset@update","updatemode":"upWhereAll","dataset_name":"cdsQuotes","dataset_recno":3,"dataset_encode_base64":false,"dataset":{"ID":3}}}');
  receive('{"jsonrpc":"2.0","result":{"method":"tvq@metadata","channel":"","dataset_name":"cdsQuotes","metadata":{"field0":{}}}}');
  receive('{"jsonrpc":"2.0","result":{"method":"tvq@dataset@req@records@start","dataset_name":"cdsQuotes","dataset_recordcount":20}}');
  receive('{"jsonrpc":"2.0","result":{"method":"tvq@dataset@req@records@end","dataset_name":"cdsQuotes"}}');
  assert.deepEqual(JSON.parse(JSON.stringify(fired)), [
    ['tvqdataset', 'tvq@dataset@update', { ID: 3 }], ['tvqmetadata', { field0: {} }],
    ['tvqbeforesynchronize', 'cdsQuotes', 20], ['tvqaftersynchronize', 'cdsQuotes']]);
});

test('GUID: eight unpadded lower-case hexadecimal 16-bit values', () => {
  const context = page();
  for (let i = 0; i < 200; i++) assert.match(vm.runInContext('GUID()', context), GUID_FORM);
  // Unpadded: small values make shorter identifiers.
  context.Math = Object.create(Math, { random: { value: () => 0 } });
  assert.equal(vm.runInContext('GUID()', context), '00000000');
});

test('Base64 helpers', () => {
  const context = page();
  const run = (code) => vm.runInContext(code, context);
  assert.equal(run("tvqEncodeB64('plain')"), 'plain');
  run('tvqEncodeBase64 = true');
  assert.equal(run("tvqEncodeB64('')"), '');
  assert.equal(run("tvqEncodeB64('Hi')"), 'tvq@b64:SGk=');
  assert.equal(run("tvqDecodeB64(tvqEncodeB64('Café ✓'))"), 'Café ✓');
  assert.equal(run("tvqDecodeB64('as is')"), 'as is');
});

test('event: one handler, replaced by the next', () => {
  const context = page();
  const calls = vm.runInContext(`
    var calls = [], e = new event('x');
    e.fire(1);
    e.subscribe(function (a) { calls.push('first ' + a); });
    e.subscribe(function (a, b) { calls.push('second ' + a + b); });
    e.fire(1, 2);
    calls`, context);
  assert.deepEqual([...calls], ['second 12']);
});
